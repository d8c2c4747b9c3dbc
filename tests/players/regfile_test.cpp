#include "players/regfile.h"

#include <gtest/gtest.h>

#include <QString>

#include <memory>
#include <random>
#include <string>

namespace {

const std::string kVlcKey = "SOFTWARE\\VideoLAN\\VLC";

std::string reg5(const std::string &body)
{
    return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

std::string utf16LeWithBom(const std::string &utf8)
{
    const QString text = QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size()));
    std::string bytes = "\xFF\xFE";
    for (const QChar unit : text) {
        bytes += static_cast<char>(unit.unicode() & 0xFF);
        bytes += static_cast<char>(unit.unicode() >> 8);
    }
    return bytes;
}

struct Row {
    const char *what;
    std::string file;
    std::string subKey;
    std::string valueName;
    RegistryOutcome outcome;
    std::string text;
};

std::string outcomeName(RegistryOutcome outcome)
{
    switch (outcome) {
    case RegistryOutcome::KeyAbsent:
        return "KeyAbsent";
    case RegistryOutcome::ValueAbsent:
        return "ValueAbsent";
    case RegistryOutcome::Found:
        return "Found";
    }
    return "?";
}

void expectRows(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        const RegistryString value = findRegistryString(row.file, row.subKey, row.valueName);
        EXPECT_EQ(outcomeName(value.outcome), outcomeName(row.outcome)) << row.what;
        EXPECT_EQ(value.text, row.text) << row.what;
    }
}

const std::string kVlcSection = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n";

} // namespace

TEST(RegFile, TextValuesAndNames)
{
    const auto K = RegistryOutcome::KeyAbsent;
    const auto V = RegistryOutcome::ValueAbsent;
    const auto F = RegistryOutcome::Found;
    expectRows({
        {"escaped backslashes", reg5(kVlcSection + "\"InstallDir\"=\"C:\\\\Program Files\\\\VideoLAN\\\\VLC\"\r\n"),
         kVlcKey, "InstallDir", F, "C:\\Program Files\\VideoLAN\\VLC"},
        {"escaped quotes and a trailing backslash", reg5(kVlcSection + "\"InstallDir\"=\"say \\\"hi\\\" \\\\\"\r\n"),
         kVlcKey, "InstallDir", F, "say \"hi\" \\"},
        {"empty text", reg5(kVlcSection + "\"InstallDir\"=\"\"\r\n"), kVlcKey, "InstallDir", F, ""},
        {"key names ignore ASCII case", reg5("[hkey_local_machine\\software\\videolan\\vlc]\r\n\"InstallDir\"=\"x\"\r\n"),
         kVlcKey, "InstallDir", F, "x"},
        {"value names ignore ASCII case", reg5(kVlcSection + "\"INSTALLDIR\"=\"x\"\r\n"), kVlcKey, "installdir", F, "x"},
        {"default value", reg5(kVlcSection + "@=\"d\"\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "", F, "d"},
        {"default value is no named value", reg5(kVlcSection + "@=\"d\"\r\n"), kVlcKey, "InstallDir", V, ""},
        {"blanks around =, LF line ends, comments",
         "REGEDIT4\n; comment\n\n" + std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\n  \"InstallDir\" \t= \"x\"  \n"),
         kVlcKey, "InstallDir", F, "x"},
        {"UTF-8 with byte-order mark and non-ASCII text",
         "\xEF\xBB\xBF" + reg5(kVlcSection + "\"InstallDir\"=\"D:\\\\\xC3\x9C\xE2\x82\xAC\xF0\x9F\x8E\xAC\"\r\n"),
         kVlcKey, "InstallDir", F, "D:\\\xC3\x9C\xE2\x82\xAC\xF0\x9F\x8E\xAC"},
        {"the last assignment counts", reg5(kVlcSection + "\"InstallDir\"=\"a\"\r\n" + kVlcSection + "\"InstallDir\"=\"b\"\r\n"),
         kVlcKey, "InstallDir", F, "b"},
        {"REG_EXPAND_SZ", reg5(kVlcSection + "\"InstallDir\"=hex(2):43,00,3a,00,00,00\r\n"), kVlcKey, "InstallDir", V, ""},
        {"REG_DWORD", reg5(kVlcSection + "\"InstallDir\"=dword:00000001\r\n"), kVlcKey, "InstallDir", V, ""},
        {"binary replaces text", reg5(kVlcSection + "\"InstallDir\"=\"x\"\r\n\"InstallDir\"=hex:01\r\n"), kVlcKey, "InstallDir", V, ""},
        {"continued hex lines are one value",
         reg5(kVlcSection + "\"Other\"=hex(7):41,00,\\\r\n  \"InstallDir\"=\"no\",\\\r\n  00,00\r\n\"InstallDir\"=\"yes\"\r\n"),
         kVlcKey, "InstallDir", F, "yes"},
        {"value deleted", reg5(kVlcSection + "\"InstallDir\"=\"x\"\r\n\"InstallDir\"=-\r\n"), kVlcKey, "InstallDir", V, ""},
        {"no such key", reg5("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "InstallDir", K, ""},
        {"a key with the same prefix is another key", reg5("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC2]\r\n\"InstallDir\"=\"x\"\r\n"),
         kVlcKey, "InstallDir", K, ""},
        {"another root", reg5("[HKEY_CURRENT_USER\\SOFTWARE\\VideoLAN\\VLC]\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "InstallDir", K, ""},
        {"a sub-key creates its parent, not its values",
         reg5("[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC\\Sub]\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "InstallDir", V, ""},
        {"key deleted", reg5(kVlcSection + "\"InstallDir\"=\"x\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n"),
         kVlcKey, "InstallDir", K, ""},
        {"parent deleted", reg5(kVlcSection + "\"InstallDir\"=\"x\"\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN]\r\n"),
         kVlcKey, "InstallDir", K, ""},
        {"deleted and created again without its values",
         reg5(kVlcSection + "\"InstallDir\"=\"x\"\r\n[-hkey_local_machine\\software\\videolan\\vlc]\r\n" + kVlcSection),
         kVlcKey, "InstallDir", V, ""},
        {"values under a deletion header go nowhere",
         reg5(kVlcSection + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "InstallDir", K, ""},
        {"no header line", kVlcSection + "\"InstallDir\"=\"x\"\r\n", kVlcKey, "InstallDir", K, ""},
        {"empty file", "", kVlcKey, "InstallDir", K, ""},
    });
}

TEST(RegFile, MalformedLinesAreIgnored)
{
    const std::string valid = kVlcSection + "\"InstallDir\"=\"good\"\r\n";
    for (const char *line : {"\"InstallDir\"=\"unterminated", "\"InstallDir\"=\"unknown \\q escape\"",
                             "\"InstallDir\"=\"x\" trailing", "\"InstallDir\"=\"ends in \\", "InstallDir=\"x\"",
                             "\"InstallDir\" \"x\"", "\"InstallDir\"=", "\"InstallDir\"=text", "\"Install", "@", "\"",
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC", "]", "\x01\x02"}) {
        const RegistryString value = findRegistryString(reg5(valid + line + "\r\n"), kVlcKey, "InstallDir");
        EXPECT_EQ(value.outcome, RegistryOutcome::Found) << line;
        EXPECT_EQ(value.text, "good") << line;
    }
    // A broken section header ends the section before it.
    const RegistryString afterBrokenHeader = findRegistryString(
        reg5(kVlcSection + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other\r\n\"InstallDir\"=\"x\"\r\n"), kVlcKey, "InstallDir");
    EXPECT_EQ(afterBrokenHeader.outcome, RegistryOutcome::ValueAbsent);
}

TEST(RegFile, TextMustFitTheValueBuffer)
{
    // 4608 bytes hold 2303 UTF-16 units and the terminator.
    const auto lookUp = [](const std::string &text) {
        return findRegistryString(reg5(kVlcSection + "\"InstallDir\"=\"" + text + "\"\r\n"), kVlcKey, "InstallDir");
    };
    const std::string fits(2303, 'a');
    EXPECT_EQ(lookUp(fits).outcome, RegistryOutcome::Found);
    EXPECT_EQ(lookUp(fits).text, fits);
    EXPECT_EQ(lookUp(fits + "a").outcome, RegistryOutcome::ValueAbsent);

    // Counted in UTF-16 units, not bytes: a non-BMP character takes two units, "\xC3\xA9" one.
    const std::string clapper = "\xF0\x9F\x8E\xAC";
    EXPECT_EQ(lookUp(std::string(2301, 'a') + clapper).outcome, RegistryOutcome::Found);
    EXPECT_EQ(lookUp(std::string(2302, 'a') + clapper).outcome, RegistryOutcome::ValueAbsent);
    std::string accents;
    for (int i = 0; i < 2303; ++i)
        accents += "\xC3\xA9";
    EXPECT_EQ(lookUp(accents).outcome, RegistryOutcome::Found);
    EXPECT_EQ(lookUp(accents + "a").outcome, RegistryOutcome::ValueAbsent);
    // An escaped backslash is one unit.
    std::string backslashes;
    for (int i = 0; i < 2303; ++i)
        backslashes += "\\\\";
    EXPECT_EQ(lookUp(backslashes).text, std::string(2303, '\\'));

    // The text ends at a NUL, but the whole stored value must fit.
    const std::string withNul = std::string("C:\\\\VLC") + '\0' + "tail";
    EXPECT_EQ(lookUp(withNul).text, "C:\\VLC");
    EXPECT_EQ(lookUp(std::string("x") + '\0' + std::string(2302, 'a')).outcome, RegistryOutcome::ValueAbsent);
}

TEST(RegFile, Utf16LittleEndianExport)
{
    const std::string text = reg5(kVlcSection + "\"InstallDir\"=\"D:\\\\Vid\xC3\xA9os \xF0\x9F\x8E\xAC\\\\VLC\"\r\n"
                                  + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\r\n\"ProgramPath\"=hex(2):41,00,00,00\r\n");
    const std::string bytes = utf16LeWithBom(text);
    EXPECT_EQ(decodeRegFileText(bytes), text);

    const RegistryString vlc = findRegistryString(bytes, kVlcKey, "InstallDir");
    EXPECT_EQ(vlc.outcome, RegistryOutcome::Found);
    EXPECT_EQ(vlc.text, "D:\\Vid\xC3\xA9os \xF0\x9F\x8E\xAC\\VLC");
    EXPECT_EQ(findRegistryString(bytes, "SOFTWARE\\DAUM\\PotPlayer64", "ProgramPath").outcome,
              RegistryOutcome::ValueAbsent);

    // Without its byte-order mark the file is no export; an odd last byte is dropped.
    EXPECT_EQ(findRegistryString(bytes.substr(2), kVlcKey, "InstallDir").outcome, RegistryOutcome::KeyAbsent);
    EXPECT_EQ(findRegistryString(bytes + "\x41", kVlcKey, "InstallDir").text, vlc.text);
    // Unpaired surrogates become U+FFFD.
    EXPECT_EQ(decodeRegFileText(std::string("\xFF\xFE\x00\xD8\x41\x00\x00\xDC", 8)),
              "\xEF\xBF\xBD" "A" "\xEF\xBF\xBD");
}

TEST(RegFile, NeverReadsPastTheInput)
{
    // Every prefix of an export, in an allocation of exactly that size, and random bytes after a
    // header: the sanitizer builds catch any read outside.
    const std::string text = reg5(kVlcSection + "\"InstallDir\"=\"a\\\\b\\\"c\"\r\n@=hex(2):41,00,\\\r\n  00,00\r\n"
                                  + "[-HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\"\xF0\x9F\x8E\xAC\"=\"\xE2\x82");
    for (const std::string &whole : {text, utf16LeWithBom(text)}) {
        for (std::size_t length = 0; length <= whole.size(); ++length) {
            const std::unique_ptr<char[]> exact(new char[length]);
            std::copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length), exact.get());
            findRegistryString(std::string_view(exact.get(), length), kVlcKey, "InstallDir");
            findRegistryString(std::string_view(exact.get(), length), kVlcKey, "");
        }
    }
    std::mt19937 random(42);
    const std::string alphabet = "[]\\\"@=-;:,hexdword()\r\n \t\xC3\xA9\xF0\x9F\x8E\xAC\xFF\xFEHKEY_LOCAL_MACHINE";
    for (int round = 0; round < 2000; ++round) {
        std::string noise = reg5(kVlcSection);
        const int length = static_cast<int>(random() % 200);
        for (int i = 0; i < length; ++i)
            noise += alphabet[random() % alphabet.size()];
        const std::unique_ptr<char[]> exact(new char[noise.size()]);
        std::copy(noise.begin(), noise.end(), exact.get());
        const RegistryString value = findRegistryString(std::string_view(exact.get(), noise.size()), kVlcKey, "");
        if (value.outcome == RegistryOutcome::Found) {
            EXPECT_EQ(QString::fromUtf8(value.text.c_str()).toUtf8().toStdString(), value.text) << "valid UTF-8";
        }
    }
}
