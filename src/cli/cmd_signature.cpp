// `signature add FILE ...`: the signature editor's Save on the command line; `signature list [FILE]` shows a
// settings file's records (the default file when none is named).
#include <iostream>
#include <memory>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "raw/carving_engine.h"
#include "raw/settings_file.h"

namespace salvora::cli {
namespace {

struct SignatureArgs {
    std::string file;
    SignatureFields fields;
    std::string listFile;
};

std::string Hex(const std::array<std::uint8_t, kSignatureBytes>& bytes, std::size_t length) {
    std::string text;
    char piece[8];
    for (std::size_t i = 0; i < length && i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, "%s0x%02X", i ? "," : "", bytes[i]);
        text += piece;
    }
    return text;
}

int RunAdd(const SignatureArgs& args) {
    SignatureFileEditor editor;
    if (!editor.Open(args.file)) return kExitSourceError;
    return editor.AppendSignatureRecord(args.fields) ? kExitOk : kExitUsage;
}

int RunList(const SignatureArgs& args) {
    myJpg engine;
    const std::string path = args.listFile.empty() ? DefaultSettingsPath() : args.listFile;
    if (!LoadSettingsFile(engine, path, SettingsKind::User)) return kExitSourceError;
    std::cout << "INDEX\tEXT\tSTART\tEND\tSIZE_FIELD\tAPPROX\tSKIP\tCATEGORY\n";
    for (std::size_t i = 0; i < engine.fileTypeTable.size(); ++i) {
        const SignatureEntry& s = engine.signatureTable[i];
        const FileTypeEntry& f = engine.fileTypeTable[i];
        std::cout << s.index << '\t' << f.extension << '\t' << Hex(s.startSignature, s.startLength) << '\t'
                  << Hex(s.endSignature, s.endLength) << '\t';
        if (f.sizeFieldWidth > 0)
            std::cout << f.sizeFieldOffset << '/' << f.sizeFieldWidth << (f.sizeIncludesHeader ? "" : "+")
                      << (f.sizeIncludesHeader ? 0 : f.headerSize);
        else
            std::cout << '-';
        std::cout << '\t' << f.approxSize << '\t' << f.skipBytes << '\t' << f.category << '\n';
    }
    return kExitOk;
}

}  // namespace

Command RegisterSignatureCommand(CLI::App& app) {
    auto args = std::make_shared<SignatureArgs>();
    CLI::App* sub = app.add_subcommand("signature", "Edit or show a signature settings file");
    sub->require_subcommand(1);
    CLI::App* add = sub->add_subcommand("add", "Append one signature record to FILE (created when missing)");
    SignatureFields& f = args->fields;
    add->add_option("FILE", args->file, "Settings file")->required();
    add->add_option("--ext", f.extension, "File extension without the dot (4 characters are kept)")
        ->required();
    add->add_option("--start", f.startSignature, "Starting signature: hex bytes separated by commas")
        ->required()
        ->type_name("HEX,...");
    add->add_option("--end", f.endSignature, "Ending signature (optional)")->type_name("HEX,...");
    add->add_option("--size-offset", f.sizeFieldOffset, "Offset of the size field in the header")
        ->type_name("N");
    add->add_option("--size-width", f.sizeFieldWidth, "Bytes of the size field")->type_name("N");
    add->add_option("--header-size", f.headerSize, "Header bytes the size field does not count")
        ->type_name("N");
    add->add_flag("--includes-header", f.sizeIncludesHeader, "The size field counts the header too");
    add->add_option("--skip", f.skipBytes, "Bytes to skip after a header was found")->type_name("N");
    add->add_option("--approx-size", f.approxSize, "Approximate file size in bytes")->type_name("N");
    add->add_option("--category", f.category, "Category the files are listed under")->type_name("TEXT");
    CLI::App* list =
        sub->add_subcommand("list", "Show the records of FILE (default: the default signatures)");
    list->add_option("FILE", args->listFile, "Settings file");
    return {sub, [args, add](TerminalUi&) { return add->parsed() ? RunAdd(*args) : RunList(*args); }};
}

}  // namespace salvora::cli
