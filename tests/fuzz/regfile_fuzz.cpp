// The .reg reader: any bytes as a whole export, and exports written around a value taken from
// the input, which must read back exactly as written.
#include "fuzzcheck.h"
#include "fuzzutf.h"
#include "players/regfile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kMaxUnits = kRegistryBufferBytes / 2; // with the terminator

struct Lookup {
    const char *subKey;
    const char *valueName;
};

// What the player discovery asks, plus the root and the default value.
constexpr Lookup kLookups[] = {
    {"SOFTWARE\\VideoLAN\\VLC", "InstallDir"},
    {"SOFTWARE\\WOW6432Node\\VideoLAN\\VLC", "InstallDir"},
    {"SOFTWARE\\DAUM\\PotPlayer64", "ProgramPath"},
    {"SOFTWARE\\WOW6432Node\\DAUM\\PotPlayer", "ProgramPath"},
    {"SOFTWARE", ""},
    {"", "x"},
};

void checkFound(const RegistryString &value)
{
    if (value.outcome != RegistryOutcome::Found) {
        FUZZ_CHECK(value.text.empty(), "an absent value carries text");
        return;
    }
    FUZZ_CHECK(fuzzutf::isValidUtf8(value.text), "found text is not UTF-8");
    FUZZ_CHECK(value.text.find('\0') == std::string::npos, "found text holds a NUL");
    FUZZ_CHECK(fuzzutf::utf16Units(fuzzutf::decodeLenient(value.text)) + 1 <= kMaxUnits,
               "found text does not fit the value buffer");
}

void readRaw(std::string_view bytes)
{
    const std::string decoded = decodeRegFileText(bytes);
    if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE")
        FUZZ_CHECK(fuzzutf::isValidUtf8(decoded), "UTF-16 export decoded to invalid UTF-8");
    else if (bytes.substr(0, 3) != "\xEF\xBB\xBF")
        FUZZ_CHECK(decoded == bytes, "an export without a byte-order mark changed in decoding");

    for (const Lookup &lookup : kLookups)
        checkFound(findRegistryString(bytes, lookup.subKey, lookup.valueName));
}

std::string escaped(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// A value text from the input: any code points but the three that end a line or the text.
std::u32string valueFrom(std::string_view bytes)
{
    std::u32string value;
    for (const char32_t cp : fuzzutf::decodeLenient(bytes)) {
        if (cp != U'\0' && cp != U'\r' && cp != U'\n')
            value.push_back(cp);
    }
    // Some inputs are stretched to the buffer's edge: exactly full, and one unit over.
    const std::size_t units = fuzzutf::utf16Units(value);
    const std::size_t stretch = bytes.size() % 5;
    if ((stretch == 1 || stretch == 2) && units < kMaxUnits - 1)
        value.append(kMaxUnits - 1 - units + (stretch == 2 ? 1 : 0), U'a');
    return value;
}

void readBack(std::string_view bytes)
{
    const std::u32string value = valueFrom(bytes);
    const std::string utf8 = fuzzutf::encodeUtf8(value);
    const bool fits = fuzzutf::utf16Units(value) + 1 <= kMaxUnits;
    const char *eol = bytes.size() % 2 ? "\r\n" : "\n";

    std::string text = std::string("Windows Registry Editor Version 5.00") + eol + eol;
    text += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN]") + eol;
    text += std::string("\"InstallDir\"=\"decoy\"") + eol + eol;
    text += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]") + eol;
    text += std::string("\"Version\"=\"3.0\"") + eol;
    text += "\"InstallDir\"=\"" + escaped(utf8) + "\"" + eol;
    text += std::string("\"Other\"=hex(2):43,00,3a,00,\\") + eol + "  00,00" + eol;

    const std::u32string wide = fuzzutf::decodeLenient(text);
    const std::string exports[] = {
        text,
        "\xEF\xBB\xBF" + text,
        "\xFF\xFE" + fuzzutf::encodeUtf16Le(wide),
    };
    for (const std::string &file : exports) {
        for (const char *name : {"InstallDir", "installdir"}) {
            const RegistryString found = findRegistryString(file, "software\\VideoLAN\\VLC", name);
            if (fits) {
                FUZZ_CHECK(found.outcome == RegistryOutcome::Found, "a written value was not found");
                FUZZ_CHECK(found.text == utf8, "a written value read back changed");
            } else {
                FUZZ_CHECK(found.outcome == RegistryOutcome::ValueAbsent,
                           "a value too large for the buffer was not absent");
            }
        }
        const RegistryString other = findRegistryString(file, "SOFTWARE\\VideoLAN\\VLC", "Other");
        FUZZ_CHECK(other.outcome == RegistryOutcome::ValueAbsent, "a hex(2) value was found");
        const RegistryString missing = findRegistryString(file, "SOFTWARE\\VideoLAN\\VLC\\Sub", "InstallDir");
        FUZZ_CHECK(missing.outcome == RegistryOutcome::KeyAbsent, "a key never written opened");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    readRaw(bytes);
    readBack(bytes);
    return 0;
}
