// Settings files of any bytes: the loader (user and default rules) must end without reading out of bounds,
// and the editor's parsers must take any typed text.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "io/ui_sink.h"
#include "raw/carving_engine.h"
#include "raw/settings_file.h"
#include "raw/signature_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace salvora;
    static const std::string path = "/tmp/salvora-fuzz-settings-" + std::to_string(::getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    myJpg engine;
    LoadSettingsFile(engine, path, SettingsKind::User);
    LoadSettingsFile(engine, path, SettingsKind::Default);
    if (engine.fileTypeTable.size() > kMaxSignatureTypes) __builtin_trap();
    engine.PrepareMatchTable();
    engine.MatchSector(Bytes(data, size));

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = text.find('\n');
    SignatureFields fields;
    fields.extension = text.substr(0, std::min<std::size_t>(cut, 8));
    fields.startSignature = text;
    fields.endSignature = cut == std::string::npos ? "" : text.substr(cut);
    fields.sizeFieldOffset = fields.approxSize = fields.category = text;
    const BuiltRecord built = BuildRecord(fields, 1);
    if (built.problem == RecordProblem::None) {
        const auto bytes = EncodeRecord(built.record);
        if (EncodeRecord(DecodeRecord(bytes)) != bytes) __builtin_trap();
    }
    return 0;
}
