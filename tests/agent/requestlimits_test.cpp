#include "agent/logexcerpt.h"
#include "agent/originpolicy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OriginPolicy, ServesNoOriginAnyOriginWithoutAListAndListedOriginsOnly)
{
    const QStringList listed = {QStringLiteral("https://a.example"), QStringLiteral("http://localhost:8080")};
    struct Row {
        const char *origin; // null: no Origin header
        bool withList;
        bool allowed;
    };
    const Row rows[] = {
        {nullptr, true, true},
        {"https://evil.example", false, true},
        {"null", false, true},
        {"https://a.example", true, true},
        {"HTTPS://A.EXAMPLE", true, true},
        {"https://a.example:443", true, true},
        {"https://a.example/", true, true},
        {"http://localhost:8080", true, true},
        {"https://evil.example", true, false},
        {"http://a.example", true, false},
        {"https://a.example:8443", true, false},
        {"https://a.example.evil.example", true, false},
        {"https://a.example/page", true, false},
        {"https://\xC3\xA1.example", true, false},
        {"https://a.example@evil.example", true, false},
        {"http://localhost", true, false},
        {"null", true, false},
        {"", true, false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(originAllowed(row.withList ? listed : QStringList(), row.origin), row.allowed)
            << (row.origin ? row.origin : "<none>") << (row.withList ? " with the list" : " without a list");
    }
}

TEST(LogExcerpt, CutsLongTextsWithoutSplittingACharacter)
{
    const std::string euro = "\xE2\x82\xAC";
    struct Row {
        std::string text;
        std::string shown;
        bool cut;
    };
    const std::string fits(kLoggedTextBytes, 'a');
    const Row rows[] = {
        {"{\"action\":\"Getinfo\"}", "{\"action\":\"Getinfo\"}", false},
        {fits, fits, false},
        {fits + "b", fits + "...", true},
        // The cut falls after the first, second or third byte of a three-byte character.
        {std::string(kLoggedTextBytes - 1, 'a') + euro, std::string(kLoggedTextBytes - 1, 'a') + "...", true},
        {std::string(kLoggedTextBytes - 2, 'a') + euro + "b", std::string(kLoggedTextBytes - 2, 'a') + "...", true},
        {std::string(kLoggedTextBytes - 3, 'a') + euro + "b", std::string(kLoggedTextBytes - 3, 'a') + euro + "...", true},
        // A NUL ends the text as the records always showed it.
        {std::string("ab\0", 3) + std::string(kLoggedTextBytes, 'c'), "ab", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.text.size()) + " bytes");
        EXPECT_EQ(logExcerpt(row.text).toStdString(), row.shown);
        EXPECT_EQ(excerptIsCut(row.text), row.cut);
    }
}

} // namespace
