#include "io/image_container.h"

#include <libewf.h>
#include <libqcow.h>
#include <libsmraw.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>

namespace salvora {
namespace {

namespace fs = std::filesystem;

// The libyal libraries share one shape: an object, an error chain that prints itself, a media size and a
// read at an offset. Each Api below names its library's functions; YalImage does the rest once.
template <class Error, class Sprint, class Free>
std::string ErrorText(Error*& error, Sprint backtrace, Free free, const std::string& fallback) {
    if (error == nullptr) return fallback;
    std::array<char, 4096> text{};
    backtrace(error, text.data(), text.size());
    free(&error);
    // The backtrace lists the innermost cause first, as "function: what happened."; the cause is what a person
    // can act on.
    std::string out = text.data();
    out = out.substr(0, out.find('\n'));
    if (const auto colon = out.find(": "); colon != std::string::npos && out.find(' ') > colon) out.erase(0, colon + 2);
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    return out.empty() ? fallback : out;
}

// Each library's names for the same four things: its object and error types, a read at an offset, and closing
// and freeing the object.
#define SALVORA_LIBYAL_API(Name, object, error, read, close, release, backtrace, errorFree)                     \
    struct Name {                                                                                              \
        using Object = object;                                                                                 \
        using Error = error;                                                                                   \
        static ssize_t Read(Object* o, void* b, size_t n, off64_t at, Error** e) { return read(o, b, n, at, e); } \
        static void Release(Object* o) {                                                                       \
            close(o, nullptr);                                                                                 \
            release(&o, nullptr);                                                                              \
        }                                                                                                      \
        static std::string Text(Error*& e) { return ErrorText(e, backtrace, errorFree, "unreadable"); }        \
    }

SALVORA_LIBYAL_API(EwfApi, libewf_handle_t, libewf_error_t, libewf_handle_read_random, libewf_handle_close,
                   libewf_handle_free, libewf_error_backtrace_sprint, libewf_error_free);
SALVORA_LIBYAL_API(VhdiApi, libvhdi_file_t, libvhdi_error_t, libvhdi_file_read_buffer_at_offset, libvhdi_file_close,
                   libvhdi_file_free, libvhdi_error_backtrace_sprint, libvhdi_error_free);
SALVORA_LIBYAL_API(VmdkApi, libvmdk_handle_t, libvmdk_error_t, libvmdk_handle_read_buffer_at_offset,
                   libvmdk_handle_close, libvmdk_handle_free, libvmdk_error_backtrace_sprint, libvmdk_error_free);
SALVORA_LIBYAL_API(QcowApi, libqcow_file_t, libqcow_error_t, libqcow_file_read_buffer_at_offset, libqcow_file_close,
                   libqcow_file_free, libqcow_error_backtrace_sprint, libqcow_error_free);
SALVORA_LIBYAL_API(SmrawApi, libsmraw_handle_t, libsmraw_error_t, libsmraw_handle_read_buffer_at_offset,
                   libsmraw_handle_close, libsmraw_handle_free, libsmraw_error_backtrace_sprint, libsmraw_error_free);
#undef SALVORA_LIBYAL_API

template <class Api>
class YalImage final : public ImageContainer {
  public:
    // parents: images this one reads through (a differencing VHD's parent, a QCOW2 backing file); they must
    // outlive it, so it owns them and releases them after itself.
    YalImage(typename Api::Object* object, ImageDetails details, std::vector<std::unique_ptr<ImageContainer>> parents)
        : object_(object), parents_(std::move(parents)) {
        details_ = std::move(details);
    }
    ~YalImage() override { Api::Release(object_); }

    std::int64_t ReadAt(void* buffer, std::size_t count, std::uint64_t offset) override {
        if (offset >= details_.mediaSize) return 0;
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, details_.mediaSize - offset));
        // The libraries keep a cache per object: one read at a time.
        std::lock_guard lock(mutex_);
        typename Api::Error* error = nullptr;
        const ssize_t got = Api::Read(object_, buffer, count, static_cast<off64_t>(offset), &error);
        if (got < 0) {
            lastError_ = Api::Text(error);
            return -1;
        }
        return got;
    }
    std::string LastError() const override {
        std::lock_guard lock(mutex_);
        return lastError_;
    }
    typename Api::Object* Object() { return object_; }

  private:
    typename Api::Object* object_;
    std::vector<std::unique_ptr<ImageContainer>> parents_;
    mutable std::mutex mutex_;
    std::string lastError_;
};

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// A parent named inside an image (often a Windows path) is looked for beside the image.
std::string BesideImage(const std::string& image, std::string named) {
    std::replace(named.begin(), named.end(), '\\', '/');
    const fs::path asNamed(named);
    if (asNamed.is_absolute() && fs::exists(asNamed)) return named;
    const fs::path beside = fs::path(image).parent_path() / asNamed.filename();
    return beside.string();
}

ContainerOpening Failed(const std::string& path, const std::string& what) {
    return {nullptr, path + ": " + what};
}

ContainerOpening OpenEwf(const std::string& path) {
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1)
        return Failed(path, EwfApi::Text(error));
    libewf_handle_t* handle = nullptr;
    ImageDetails details;
    details.kind = "EWF (E01)";
    for (int i = 0; i < count; ++i) details.pieces.emplace_back(names[i]);
    const bool opened = libewf_handle_initialize(&handle, &error) == 1 &&
                        libewf_handle_open(handle, names, count, LIBEWF_OPEN_READ, &error) == 1;
    libewf_glob_free(names, count, nullptr);
    if (!opened) {
        const std::string why = EwfApi::Text(error);
        if (handle != nullptr) libewf_handle_free(&handle, nullptr);
        return Failed(path, why);
    }
    if (libewf_handle_segment_files_corrupted(handle, nullptr) == 1) {
        EwfApi::Release(handle);
        return Failed(path, "its segment files are corrupted or cut short");
    }
    size64_t size = 0;
    libewf_handle_get_media_size(handle, &size, nullptr);
    details.mediaSize = size;
    static constexpr std::array<std::pair<const char*, const char*>, 9> kFields{{
        {"case_number", "Case number"},
        {"evidence_number", "Evidence number"},
        {"description", "Description"},
        {"examiner_name", "Examiner"},
        {"notes", "Notes"},
        {"acquiry_date", "Acquired"},
        {"acquiry_software", "Software"},
        {"acquiry_software_version", "Software version"},
        {"acquiry_operating_system", "Operating system"},
    }};
    for (const auto& [id, shown] : kFields) {
        std::array<std::uint8_t, 1024> value{};
        if (libewf_handle_get_utf8_header_value(handle, reinterpret_cast<const std::uint8_t*>(id),
                                                std::char_traits<char>::length(id), value.data(), value.size(),
                                                nullptr) == 1 &&
            value[0] != 0)
            details.metadata.emplace_back(shown, reinterpret_cast<const char*>(value.data()));
    }
    std::array<std::uint8_t, 20> hash{};
    if (libewf_handle_get_md5_hash(handle, hash.data(), 16, nullptr) == 1) details.storedMd5 = Hex(hash.data(), 16);
    if (libewf_handle_get_sha1_hash(handle, hash.data(), 20, nullptr) == 1) details.storedSha1 = Hex(hash.data(), 20);
    return {std::make_unique<YalImage<EwfApi>>(handle, std::move(details), std::vector<std::unique_ptr<ImageContainer>>{}),
            {}};
}

ContainerOpening OpenVhdi(const std::string& path, int depth = 0) {
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* file = nullptr;
    if (libvhdi_file_initialize(&file, &error) != 1 || libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
        const std::string why = VhdiApi::Text(error);
        if (file != nullptr) libvhdi_file_free(&file, nullptr);
        return Failed(path, why);
    }
    ImageDetails details;
    details.pieces.push_back(path);
    int fileType = 0;
    std::uint32_t diskType = 0;
    libvhdi_file_get_file_type(file, &fileType, nullptr);
    libvhdi_file_get_disk_type(file, &diskType, nullptr);
    details.kind = fileType == LIBVHDI_FILE_TYPE_VHDX ? "VHDX" : "VHD";
    details.kind += diskType == LIBVHDI_DISK_TYPE_FIXED     ? " (fixed)"
                    : diskType == LIBVHDI_DISK_TYPE_DYNAMIC ? " (dynamic)"
                                                            : " (differencing)";
    size64_t size = 0;
    libvhdi_file_get_media_size(file, &size, nullptr);
    details.mediaSize = size;
    std::vector<std::unique_ptr<ImageContainer>> parents;
    if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        std::array<std::uint8_t, 4096> named{};
        std::string parentPath;
        if (libvhdi_file_get_utf8_parent_filename(file, named.data(), named.size(), nullptr) == 1)
            parentPath = BesideImage(path, reinterpret_cast<const char*>(named.data()));
        ContainerOpening parent;
        if (!parentPath.empty() && depth < 16 && fs::exists(parentPath)) parent = OpenVhdi(parentPath, depth + 1);
        auto* parentImage = dynamic_cast<YalImage<VhdiApi>*>(parent.container.get());
        if (parentImage == nullptr || libvhdi_file_set_parent_file(file, parentImage->Object(), &error) != 1) {
            VhdiApi::Release(file);
            return Failed(path, "differencing image whose parent " +
                                    (parentPath.empty() ? std::string("is not named") : parentPath) +
                                    (parent.error.empty() ? " was not found" : " cannot be read: " + parent.error));
        }
        details.pieces.insert(details.pieces.end(), parentImage->Details().pieces.begin(),
                              parentImage->Details().pieces.end());
        parents.push_back(std::move(parent.container));
    }
    return {std::make_unique<YalImage<VhdiApi>>(file, std::move(details), std::move(parents)), {}};
}

ContainerOpening OpenVmdk(const std::string& path) {
    libvmdk_error_t* error = nullptr;
    libvmdk_handle_t* handle = nullptr;
    const std::string folder = fs::path(path).parent_path().string();
    if (libvmdk_handle_initialize(&handle, &error) != 1 ||
        libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
        const std::string why = VmdkApi::Text(error);
        if (handle != nullptr) libvmdk_handle_free(&handle, nullptr);
        return Failed(path, why);
    }
    // The extents are named in the descriptor relative to it.
    if ((!folder.empty() &&
         libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &error) != 1) ||
        libvmdk_handle_open_extent_data_files(handle, &error) != 1) {
        const std::string why = VmdkApi::Text(error);
        VmdkApi::Release(handle);
        return Failed(path, "its extent files cannot be opened: " + why);
    }
    ImageDetails details;
    details.kind = "VMDK";
    details.pieces.push_back(path);
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(handle, &extents, nullptr) == 1 && extents > 1)
        details.kind += " (" + std::to_string(extents) + " extents)";
    size64_t size = 0;
    libvmdk_handle_get_media_size(handle, &size, nullptr);
    details.mediaSize = size;
    return {std::make_unique<YalImage<VmdkApi>>(handle, std::move(details), std::vector<std::unique_ptr<ImageContainer>>{}),
            {}};
}

ContainerOpening OpenQcow(const std::string& path, int depth = 0) {
    libqcow_error_t* error = nullptr;
    libqcow_file_t* file = nullptr;
    if (libqcow_file_initialize(&file, &error) != 1 ||
        libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
        const std::string why = QcowApi::Text(error);
        if (file != nullptr) libqcow_file_free(&file, nullptr);
        return Failed(path, why);
    }
    std::uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
    libqcow_file_get_encryption_method(file, &encryption, nullptr);
    if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        QcowApi::Release(file);
        return Failed(path, "an encrypted QCOW2 image cannot be read without its key; decrypt it first "
                            "(qemu-img convert) and open the copy");
    }
    ImageDetails details;
    details.kind = "QCOW2";
    details.pieces.push_back(path);
    std::uint32_t version = 0;
    if (libqcow_file_get_format_version(file, &version, nullptr) == 1 && version != 2 && version != 0)
        details.kind = "QCOW" + std::to_string(version);
    size64_t size = 0;
    libqcow_file_get_media_size(file, &size, nullptr);
    details.mediaSize = size;
    std::vector<std::unique_ptr<ImageContainer>> parents;
    std::array<std::uint8_t, 4096> backing{};
    if (libqcow_file_get_utf8_backing_filename(file, backing.data(), backing.size(), nullptr) == 1 && backing[0] != 0) {
        const std::string parentPath = BesideImage(path, reinterpret_cast<const char*>(backing.data()));
        ContainerOpening parent;
        if (depth < 16 && fs::exists(parentPath)) parent = OpenQcow(parentPath, depth + 1);
        auto* parentImage = dynamic_cast<YalImage<QcowApi>*>(parent.container.get());
        if (parentImage == nullptr || libqcow_file_set_parent_file(file, parentImage->Object(), &error) != 1) {
            QcowApi::Release(file);
            return Failed(path, "its backing file " + parentPath +
                                    (parent.error.empty() ? " was not found" : " cannot be read: " + parent.error));
        }
        details.pieces.push_back(parentPath);
        parents.push_back(std::move(parent.container));
    }
    return {std::make_unique<YalImage<QcowApi>>(file, std::move(details), std::move(parents)), {}};
}

// "disk.001", "disk.000", "disk.aa", "xaa": the first piece of a split image, when its second piece is there.
bool IsFirstSplitPiece(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    const auto endsWith = [&](const std::string& tail) {
        return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    const std::string stem = path.substr(0, path.size() - (endsWith("aa") ? 2 : 3));
    if (endsWith(".001")) return fs::exists(stem + "002");
    if (endsWith(".000")) return fs::exists(stem + "001");
    if (endsWith("aa")) return fs::exists(stem + "ab");
    return false;
}

ContainerOpening OpenSplitRaw(const std::string& path) {
    libsmraw_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libsmraw_glob(path.c_str(), path.size(), &names, &count, &error) != 1)
        return Failed(path, SmrawApi::Text(error));
    libsmraw_handle_t* handle = nullptr;
    ImageDetails details;
    details.kind = "split raw";
    for (int i = 0; i < count; ++i) details.pieces.emplace_back(names[i]);
    const bool opened = libsmraw_handle_initialize(&handle, &error) == 1 &&
                        libsmraw_handle_open(handle, names, count, LIBSMRAW_OPEN_READ, &error) == 1;
    libsmraw_glob_free(names, count, nullptr);
    if (!opened) {
        const std::string why = SmrawApi::Text(error);
        if (handle != nullptr) libsmraw_handle_free(&handle, nullptr);
        return Failed(path, why);
    }
    size64_t size = 0;
    libsmraw_handle_get_media_size(handle, &size, nullptr);
    details.mediaSize = size;
    return {std::make_unique<YalImage<SmrawApi>>(handle, std::move(details), std::vector<std::unique_ptr<ImageContainer>>{}),
            {}};
}

// A missing or cut segment shows only when a read reaches it: the first and the last sector are read now, so
// an incomplete image is refused with its reason instead of passing for an empty disk.
ContainerOpening Readable(ContainerOpening opened, const std::string& path) {
    if (!opened.container) return opened;
    const std::uint64_t size = opened.container->Details().mediaSize;
    std::array<std::uint8_t, 512> sector{};
    for (const std::uint64_t at : {std::uint64_t{0}, size >= sector.size() ? size - sector.size() : 0}) {
        if (size > 0 && opened.container->ReadAt(sector.data(), sector.size(), at) < 0)
            return Failed(path, "the image is incomplete or damaged (" + opened.container->LastError() +
                                    "); are all of its pieces there, and whole?");
    }
    return opened;
}

}  // namespace

ContainerOpening OpenImageContainer(const std::string& path) {
    struct stat st {};
    // Devices and anything but a regular file are read as they are.
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    if (libewf_check_file_signature(path.c_str(), nullptr) == 1) return Readable(OpenEwf(path), path);
    if (libqcow_check_file_signature(path.c_str(), nullptr) == 1) return Readable(OpenQcow(path), path);
    if (libvhdi_check_file_signature(path.c_str(), nullptr) == 1) return Readable(OpenVhdi(path), path);
    if (libvmdk_check_file_signature(path.c_str(), nullptr) == 1) return Readable(OpenVmdk(path), path);
    if (IsFirstSplitPiece(path)) return Readable(OpenSplitRaw(path), path);
    return {};
}

VerifyOutcome VerifyStoredHashes(ImageContainer& container,
                                 const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
    VerifyOutcome outcome;
    const ImageDetails& details = container.Details();
    outcome.checked = !details.storedMd5.empty() || !details.storedSha1.empty();
    if (!outcome.checked) return outcome;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md5(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha1(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(md5.get(), EVP_md5(), nullptr);
    EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr);
    constexpr std::size_t kBlock = 4u << 20;
    std::vector<std::uint8_t> buffer(kBlock);
    std::uint64_t done = 0;
    while (done < details.mediaSize) {
        if (progress && !progress(done, details.mediaSize)) {
            outcome.stopped = true;
            return outcome;
        }
        const std::int64_t got = container.ReadAt(buffer.data(), kBlock, done);
        if (got <= 0) {
            outcome.readError = true;
            return outcome;
        }
        EVP_DigestUpdate(md5.get(), buffer.data(), static_cast<std::size_t>(got));
        EVP_DigestUpdate(sha1.get(), buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
    }
    if (progress) progress(done, details.mediaSize);
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned size = 0;
    EVP_DigestFinal_ex(md5.get(), digest.data(), &size);
    outcome.computedMd5 = Hex(digest.data(), size);
    EVP_DigestFinal_ex(sha1.get(), digest.data(), &size);
    outcome.computedSha1 = Hex(digest.data(), size);
    outcome.matches = (details.storedMd5.empty() || details.storedMd5 == outcome.computedMd5) &&
                      (details.storedSha1.empty() || details.storedSha1 == outcome.computedSha1);
    return outcome;
}

}  // namespace salvora
