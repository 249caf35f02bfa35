// The plan of a batch, checked before anything is decoded: no two inputs write one output,
// no output replaces an input (named by another path, through a link, or as the same device
// and inode), no input is named twice, and no output is a file a rename would replace
// wrongly (a named pipe, a device, a directory).
#pragma once

#include <string>
#include <vector>

#include "tools/bformat-decode/decode_job.h"

namespace bformat {

// The usage error of the batch `jobs`, in one line naming both files concerned; empty when
// every job can write its own output. Reads the file system only (stat, realpath).
std::string CheckBatchPlan(const std::vector<DecodeRequest>& jobs);

}  // namespace bformat
