#include "raw/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/ui_sink.h"
#include "raw/carving_engine.h"

namespace salvora {
namespace {

constexpr const char* kNotValid = "not a valid file..";

bool ReadAt(int fd, std::uint8_t* out, std::size_t count, off_t at) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, out + done, count - done, at + static_cast<off_t>(done));
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

bool LoadSettingsFile(myJpg& engine, const std::string& path, SettingsKind kind) {
    if (path.empty()) return false;
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ShowInfo("can not open file");
        return false;
    }
    const auto length = static_cast<std::uint64_t>(st.st_size);
    // A default file without one whole record has nothing to read either.
    if (length < kRecordBytes || length > kMaxSettingsFileBytes) {
        ShowInfo(kNotValid);
        return false;
    }
    std::uint8_t raw[kRecordBytes];
    if (!ReadAt(file.get(), raw, kRecordBytes, static_cast<off_t>(length - kRecordBytes))) {
        ShowInfo(kNotValid);
        return false;
    }
    const SignatureRecord last = DecodeRecord(Bytes(raw, kRecordBytes));
    if (kind == SettingsKind::User && last.sizeFieldWidth > 8) {
        ShowInfo(kNotValid);
        return false;
    }
    // The count comes from the last record's index, but never past the records the file really holds.
    const std::size_t count = std::min<std::size_t>(last.recordIndex + 1u, length / kRecordBytes);

    std::vector<std::uint8_t> all(count * kRecordBytes);
    if (!ReadAt(file.get(), all.data(), all.size(), 0)) {
        ShowInfo(kNotValid);
        return false;
    }
    std::size_t loaded = 0;
    std::string refusedSizeField;
    bool tableFull = false;
    for (std::size_t i = 0; i < count; ++i) {
        const SignatureRecord r = DecodeRecord(Bytes(all.data() + i * kRecordBytes, kRecordBytes));
        if (engine.fileTypeTable.size() >= kMaxSignatureTypes) {
            tableFull = true;
            break;
        }
        // The engine reads a size field from the header's own sector only.
        if (r.sizeFieldWidth >= 1 &&
            (r.sizeFieldOffset < 0 || static_cast<std::int64_t>(r.sizeFieldOffset) + 4 > kSectorBytes)) {
            refusedSizeField += (refusedSizeField.empty() ? "" : ", ") + std::to_string(i + 1);
            continue;
        }
        engine.AddSignature(r);
        ++loaded;
    }
    if (!refusedSizeField.empty())
        ShowInfo("record(s) " + refusedSizeField +
                 " left out: the size field must lie within the first 512 bytes of the header..");
    if (tableFull) ShowInfo("only 128 signatures can be loaded; the rest of the file was left out..");
    return loaded > 0;
}

std::string ProgramFolder() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "./";
    std::string exe(buf.data(), static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "./" : exe.substr(0, slash + 1);
}

std::string DefaultSettingsPath() {
    const std::string folder = ProgramFolder();
    const std::string beside = folder + kDefaultSettingsName;
    std::vector<std::string> candidates{beside, folder + "../share/salvora/" + kDefaultSettingsName};
#ifdef SALVORA_SOURCE_SHARE_DIR
    candidates.push_back(std::string(SALVORA_SOURCE_SHARE_DIR) + "/" + kDefaultSettingsName);
#endif
    for (const std::string& path : candidates)
        if (IsRegularFile(path)) return path;
    return beside;
}

SignatureFileEditor::~SignatureFileEditor() {
    if (fd_ >= 0) ::close(fd_);
}

bool SignatureFileEditor::Open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct stat st {};
    if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        path_.clear();
        ShowInfo("file can not be created");
        return false;
    }
    path_ = path;
    return true;
}

bool SignatureFileEditor::AppendSignatureRecord(const SignatureFields& fields) {
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    const auto records = static_cast<std::uint64_t>(st.st_size) / kRecordBytes;
    // Record indexes are one byte, and the engine follows 128 types at most.
    if (records >= kMaxSignatureTypes) {
        ShowInfo("the file already holds 128 signatures..");
        return false;
    }
    const BuiltRecord built = BuildRecord(fields, static_cast<std::uint8_t>(records));
    if (built.problem != RecordProblem::None) {
        ShowInfo(RecordProblemText(built.problem));
        return false;
    }
    const auto bytes = EncodeRecord(built.record);
    // Appended after the last whole record, so a torn earlier write cannot shift every record after it.
    const off_t at = static_cast<off_t>(records * kRecordBytes);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd_, bytes.data() + done, bytes.size() - done, at + static_cast<off_t>(done));
        if (n <= 0) {
            ShowInfo("can not write file..");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::ftruncate(fd_, at + static_cast<off_t>(bytes.size())) != 0) {
        ShowInfo("can not write file..");
        return false;
    }
    ShowInfo("everything initialized well.....");
    return true;
}

}  // namespace salvora
