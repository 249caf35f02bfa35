#include "tools/bformat-decode/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bformat {

namespace {

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Writes all of `size` bytes through `put(bytes, count, done)`, a write or pwrite of what is
// left after `done` bytes, trying again when a signal interrupts it.
template <typename Put>
bool WriteAll(const void* data, size_t size, const std::string& path, std::string& error, Put put)
{
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t done = 0;
    while (size > 0) {
        const ssize_t n = put(p, size, done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = SystemError("cannot write " + path);
            return false;
        }
        p += n;
        done += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

AtomicFile::~AtomicFile()
{
    Discard();
}

bool AtomicFile::Create(const std::string& path, std::string& error)
{
    Discard();
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot write " + path + ": it is a directory";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + name + ".XXXXXX";
    std::vector<char> buffer(temp.begin(), temp.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) {
        error = SystemError("cannot create a file in " + (dir.empty() ? std::string(".") : dir));
        return false;
    }
    // mkstemp makes the file private; give it what any new file gets under the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    m_fd = fd;
    m_path = path;
    m_tempPath.assign(buffer.data());
    return true;
}

bool AtomicFile::Write(const void* data, size_t size, std::string& error)
{
    return WriteAll(data, size, m_path, error,
                    [this](const uint8_t* p, size_t n, uint64_t) { return ::write(m_fd, p, n); });
}

bool AtomicFile::WriteAt(uint64_t offset, const void* data, size_t size, std::string& error)
{
    return WriteAll(data, size, m_path, error, [this, offset](const uint8_t* p, size_t n, uint64_t done) {
        return ::pwrite(m_fd, p, n, static_cast<off_t>(offset + done));
    });
}

bool AtomicFile::Commit(std::string& error)
{
    if (m_fd < 0) {
        error = "nothing to save";
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        error = SystemError("cannot write " + m_path);
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
        return false;
    }
    if (::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
        error = SystemError("cannot save " + m_path);
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
        return false;
    }
    m_tempPath.clear();
    return true;
}

void AtomicFile::Discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

bool WaveFileWriter::Begin(const std::string& path, const std::vector<uint8_t>& formatBlock, std::string& error)
{
    m_formatBlock = formatBlock;
    m_dataBytes = 0;
    m_begun = false;
    if (!m_file.Create(path, error)) return false;
    const std::vector<uint8_t> header = BuildWaveHeader(m_formatBlock, 0);
    if (!m_file.Write(header.data(), header.size(), error)) {
        m_file.Discard();
        return false;
    }
    m_begun = true;
    return true;
}

bool WaveFileWriter::Append(const void* data, size_t size, std::string& error)
{
    if (!m_begun) {
        error = "the output file is not open";
        return false;
    }
    if (m_dataBytes + size > MaxWaveDataBytes(m_formatBlock.size())) {
        error = "the output would be larger than a WAVE file can be (4 GiB)";
        return false;
    }
    if (!m_file.Write(data, size, error)) return false;
    m_dataBytes += size;
    return true;
}

bool WaveFileWriter::Finish(std::string& error)
{
    if (!m_begun) {
        error = "the output file is not open";
        return false;
    }
    m_begun = false;
    if (m_dataBytes & 1) {
        const uint8_t pad = 0;
        if (!m_file.Write(&pad, 1, error)) return false;
    }
    const std::vector<uint8_t> header = BuildWaveHeader(m_formatBlock, m_dataBytes);
    if (!m_file.WriteAt(0, header.data(), header.size(), error)) return false;
    return m_file.Commit(error);
}

}  // namespace bformat
