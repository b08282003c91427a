#pragma once
// Reading a signature settings file into the carving engine's tables, finding the default file, and the
// signature editor's file: open (created when missing) and append one record at a time.
#include <cstdint>
#include <string>

#include "raw/signature_record.h"

namespace salvora {

class myJpg;

inline constexpr const char* kDefaultSettingsName = "FileSetting.txt";

// User files are checked more strictly than the default items: at least one record, and a last record whose
// size field is at most 8 bytes wide.
enum class SettingsKind { User, Default };

// Appends the file's records to both tables (messages through Ui()). False when nothing could be loaded;
// records loaded before a refusal stay. An empty path does nothing and gives false.
bool LoadSettingsFile(myJpg& engine, const std::string& path, SettingsKind kind);

// The folder of the running program, with a trailing '/'.
std::string ProgramFolder();
// The default settings file: beside the program, else share/salvora beside its bin folder (installed), else
// the source tree's share/ (build tree). When none exists, the path beside the program.
std::string DefaultSettingsPath();

// The editor's settings file.
class SignatureFileEditor {
  public:
    SignatureFileEditor() = default;
    ~SignatureFileEditor();
    SignatureFileEditor(const SignatureFileEditor&) = delete;
    SignatureFileEditor& operator=(const SignatureFileEditor&) = delete;

    // Opens for reading and writing, creating it when missing; "file can not be created" on failure.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    // The editor's Save: builds the record from the boxes (index = records already in the file), appends it
    // and shows "everything initialized well.....". A refused entry shows why and writes nothing.
    bool AppendSignatureRecord(const SignatureFields& fields);

  private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace salvora
