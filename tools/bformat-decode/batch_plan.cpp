#include "tools/bformat-decode/batch_plan.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "tools/bformat-decode/output_file.h"

namespace bformat {

namespace {

// What a name stands for: an existing file by device and inode, whatever path or link names
// it; a file yet to be written by its folder's real path and its name.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;

    bool operator==(const FileIdentity& other) const
    {
        if (exists != other.exists) return false;
        return exists ? device == other.device && inode == other.inode : path == other.path;
    }
};

FileIdentity IdentityOf(const std::string& path)
{
    FileIdentity id;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        return id;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char real[PATH_MAX];
    id.path = ::realpath(folder.c_str(), real) ? std::string(real) + "/" + path.substr(slash + 1) : path;
    return id;
}

}  // namespace

std::string CheckBatchPlan(const std::vector<DecodeRequest>& jobs)
{
    std::vector<FileIdentity> inputs, outputs;
    for (const DecodeRequest& job : jobs) {
        inputs.push_back(IdentityOf(job.input));
        outputs.push_back(IdentityOf(job.output));
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        const std::string& input = jobs[i].input;
        const std::string& output = jobs[i].output;
        for (size_t j = 0; j < i; ++j) {
            if (inputs[i] == inputs[j]) {
                return jobs[j].input == input ? input + " is named twice: name each input once"
                                              : jobs[j].input + " and " + input +
                                                    " are the same file: name each input once";
            }
            if (outputs[i] == outputs[j]) {
                return jobs[j].input + " and " + input + " would both be decoded to " + output +
                       ": decode them into different folders, or one at a time with -o";
            }
        }
        for (size_t j = 0; j < jobs.size(); ++j) {
            if (!(outputs[i] == inputs[j])) continue;
            if (i == j) return output + ": the output would overwrite the input " + input;
            return output + ", the output of " + input + ", would overwrite the input " + jobs[j].input;
        }
        const std::string refusal = OutputRefusal(output);
        if (!refusal.empty()) return refusal;
    }
    return {};
}

}  // namespace bformat
