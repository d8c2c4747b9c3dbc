#include "agent/messageassembler.h"

#include <QJsonDocument>
#include <QString>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Kind = MessageAssembler::Outcome::Kind;

// The parser's own verdict on a whole text (after the UTF-8 round trip it is given), with
// repeated names screened out first: the parser would leak their values.
bool isCompleteJson(const std::string &text)
{
    const QByteArray utf8 = QString::fromUtf8(text.c_str()).toUtf8();
    JsonScanner names;
    names.feed(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    return !names.hasRepeatedName() && !QJsonDocument::fromJson(utf8).isNull();
}

struct Fed {
    std::vector<MessageAssembler::Outcome> outcomes;
};

// Feeds the pieces of one message; the last one ends it.
Fed feedMessage(MessageAssembler &assembler, const std::vector<std::string> &pieces)
{
    Fed fed;
    for (size_t i = 0; i < pieces.size(); ++i) {
        auto outcome = assembler.feed(pieces[i].data(), pieces[i].size(), i + 1 == pieces.size());
        if (outcome)
            fed.outcomes.push_back(*outcome);
    }
    return fed;
}

Fed feedMessage(MessageAssembler &assembler, const std::string &text)
{
    return feedMessage(assembler, std::vector<std::string>{text});
}

// Cuts text into pieces of at most `size` bytes.
std::vector<std::string> cut(const std::string &text, size_t size)
{
    std::vector<std::string> pieces;
    for (size_t at = 0; at < text.size(); at += size)
        pieces.push_back(text.substr(at, size));
    return pieces;
}

const std::string kGetinfo = R"({"action":"Getinfo","id":1})";

void expectRequest(const Fed &fed, const std::string &text)
{
    ASSERT_EQ(fed.outcomes.size(), 1u);
    EXPECT_EQ(fed.outcomes[0].kind, Kind::Request);
    EXPECT_EQ(fed.outcomes[0].text, text);
}

void expectUnsupported(const Fed &fed)
{
    ASSERT_EQ(fed.outcomes.size(), 1u);
    EXPECT_EQ(fed.outcomes[0].kind, Kind::Unsupported);
    EXPECT_TRUE(fed.outcomes[0].text.empty());
}

TEST(MessageAssembler, JoinsPiecesAndHandsTheTextOverOnce)
{
    MessageAssembler assembler;
    // Three fragments of one message: nothing until the last.
    EXPECT_FALSE(assembler.feed(R"({"action":)", 10, false));
    EXPECT_FALSE(assembler.feed(R"("Getinfo",)", 10, false));
    auto outcome = assembler.feed(R"("id":1})", 7, true);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, Kind::Request);
    EXPECT_EQ(outcome->text, kGetinfo);
    EXPECT_EQ(assembler.pendingBytes(), 0u);

    // A whole document in one piece, surrounded by white space the parser skips.
    expectRequest(feedMessage(assembler, " \t\r\n[1,2]\n"), " \t\r\n[1,2]\n");

    // A piece that ends exactly at a document's end hands it over even mid-message.
    MessageAssembler early;
    EXPECT_EQ(early.feed("{}", 2, false)->text, "{}");
    EXPECT_EQ(early.feed("[]", 2, true)->text, "[]");

    // An empty piece changes nothing.
    EXPECT_FALSE(assembler.feed("", 0, true));
    EXPECT_EQ(assembler.pendingBytes(), 0u);
}

TEST(MessageAssembler, HandsOverTextLongerThanOnePieceWhole)
{
    const std::string text = R"({"action":"Getinfo","id":")" + std::string(100 * 1024, 'x') + R"("})";
    MessageAssembler assembler;
    expectRequest(feedMessage(assembler, cut(text, 40960)), text);
    // A request of 100 KiB arriving as 4096-byte pieces is joined the same way.
    expectRequest(feedMessage(assembler, cut(text, 4096)), text);
}

TEST(MessageAssembler, PieceContributesOnlyBytesBeforeItsFirstNul)
{
    MessageAssembler assembler;
    const std::string withTail = kGetinfo + std::string("\0garbage", 8);
    expectRequest(feedMessage(assembler, withTail), kGetinfo);

    // NUL in the middle of a prefix: the rest of that piece is dropped, later pieces count.
    const std::string first = std::string(R"({"action":"Getinfo",)") + std::string("\0{{{", 4);
    expectRequest(feedMessage(assembler, {first, R"("id":1})"}), R"({"action":"Getinfo","id":1})");

    // A piece that starts with NUL contributes nothing.
    EXPECT_FALSE(assembler.feed("\0{}", 3, true));
    EXPECT_EQ(assembler.pendingBytes(), 0u);
}

TEST(MessageAssembler, DiscardsTextThatCanNeverCompleteAtTheEndOfItsMessage)
{
    const std::vector<std::string> hopeless = {
        "hello",                 // plain text
        "{}{}",                  // two documents in one message
        R"({"a":1} {"b":2})",
        R"({"a":1} x)",          // trailing garbage
        "[1,]",                  // trailing comma
        R"({"a" 1})",            // missing colon
        "]",
        "\"text\"",              // a bare value is no document
        "7",
        "[tru]",
        "[nulll]",
        " \xEF\xBB\xBF{}",       // a byte order mark only counts at the very start
        "\x0c{}",                // form feed is no JSON white space
        "[01]",                  // closed, but the parser refuses the number
        R"(["\u12"])",           // closed, but the escape is cut short
        "[1e5000]",
    };
    for (const std::string &text : hopeless) {
        SCOPED_TRACE(text);
        MessageAssembler assembler;
        expectUnsupported(feedMessage(assembler, text));
        EXPECT_EQ(assembler.pendingBytes(), 0u);
        // The next request on the connection is answered.
        expectRequest(feedMessage(assembler, kGetinfo), kGetinfo);
    }

    // The answer waits for the end of the message; the rest of that message is dropped.
    MessageAssembler assembler;
    EXPECT_FALSE(assembler.feed("hel", 3, false));
    EXPECT_FALSE(assembler.feed("{}", 2, false));
    expectUnsupported(feedMessage(assembler, "lo"));
    expectRequest(feedMessage(assembler, kGetinfo), kGetinfo);

    // A valid prefix from earlier messages goes with the message that breaks it.
    EXPECT_FALSE(assembler.feed(R"({"action":)", 10, true));
    expectUnsupported(feedMessage(assembler, "}"));
    expectRequest(feedMessage(assembler, kGetinfo), kGetinfo);
}

TEST(MessageAssembler, AcceptsWhatTheParserAccepts)
{
    // Forms QJsonDocument takes although strict JSON would not, and the usual ones.
    const std::vector<std::string> accepted = {
        "\xEF\xBB\xBF{}",
        "[.5, 1., -0, -.5, 1E+5, 12e-2]",
        R"(["\x", "\/", "\u00e9\n", "tab	inside"])",
        "{\"a\" : { \"b\" : [ true , false , null ] } }",
        "[\"\xC3\xA9\xE2\x82\xAC\"]",
        "[\"\xff\"]",            // invalid UTF-8 becomes U+FFFD before parsing
        "[[[[[[[[[[[]]]]]]]]]]]",
    };
    for (const std::string &text : accepted) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(isCompleteJson(text));
        MessageAssembler assembler;
        expectRequest(feedMessage(assembler, cut(text, 1)), text);
    }
}

// The one parse: the request comes out parsed with its text, and an object that repeats a name
// (compared as the parser compares names) is refused, however the text is cut.
TEST(MessageAssembler, HandsOverTheParsedRequestAndRefusesRepeatedNames)
{
    struct Row {
        std::string text;
        bool repeated;
    };
    const Row rows[] = {
        {R"({"action":"Getinfo","id":{"a":[1],"b":{"a":2}}})", false},
        {R"([{"x":1},{"x":2}])", false},
        {R"({"a\\":1,"a\"":2,"a":3,"b":"\"a\":1"})", false},
        {R"({"\ud800":1,"\udc00":2})", false},
        {R"({"a":1,"a":2})", true},
        {R"({"id":{"a":[1]},"id":{"a":[2]}})", true},
        {R"({"a":{"b":1},"b":{"a":1,"a":[]}})", true},
        {R"({"action":1,"\u0061ction":2})", true},
        {"{\"\\ud83d\\ude00\":1,\"\xF0\x9F\x98\x80\":2}", true},
        {R"({"\ud800":1,"\ud800":2})", true},
        // Invalid UTF-8 reaches the parser as U+FFFD.
        {"{\"a\xff\":1,\"a\xfe\":2}", true},
        {"{\"a\xff\":1,\"a\xEF\xBF\xBD\":2}", true},
    };
    for (const Row &row : rows) {
        for (const size_t piece : {row.text.size(), size_t(1), size_t(3)}) {
            SCOPED_TRACE(row.text + " in pieces of " + std::to_string(piece));
            MessageAssembler assembler;
            const Fed fed = feedMessage(assembler, cut(row.text, piece));
            if (row.repeated) {
                expectUnsupported(fed);
                continue;
            }
            expectRequest(fed, row.text);
            const QByteArray utf8 = QString::fromUtf8(row.text.c_str()).toUtf8();
            if (!fed.outcomes.empty()) {
                EXPECT_EQ(fed.outcomes[0].request, QJsonDocument::fromJson(utf8).object());
            }
        }
    }
}

TEST(MessageAssembler, BoundsTheTextOfOneConnection)
{
    const size_t bound = MessageAssembler::kMaxTextBytes;
    const std::string open = R"({"id":")";
    const std::string close = R"("})";
    const std::string atBound = open + std::string(bound - open.size() - close.size(), 'x') + close;
    ASSERT_EQ(atBound.size(), bound);

    MessageAssembler assembler;
    expectRequest(feedMessage(assembler, cut(atBound, 40960)), atBound);

    // One byte more: the text and the rest of its message go, answered once at its end.
    const std::string overBound = open + std::string(bound - open.size() - close.size() + 1, 'x') + close;
    Fed fed = feedMessage(assembler, cut(overBound, 40960));
    expectUnsupported(fed);
    EXPECT_EQ(assembler.pendingBytes(), 0u);
    expectRequest(feedMessage(assembler, kGetinfo), kGetinfo);

    // The bound counts text kept from earlier messages too.
    EXPECT_FALSE(assembler.feed(atBound.data(), bound - 10, true));
    EXPECT_EQ(assembler.pendingBytes(), bound - 10);
    expectUnsupported(feedMessage(assembler, std::string(20, 'x') + close));
    expectRequest(feedMessage(assembler, kGetinfo), kGetinfo);
}

// The agent's connections share one budget for what they hold unfinished. Past it, the text that
// would stay goes (Unsupport at the end of its message); a request that arrives whole needs no
// room; whatever is handed over, dropped or destroyed gives its room back.
TEST(MessageAssembler, ConnectionsShareOneBudgetForUnfinishedText)
{
    TextBudget budget(64 * 1024);
    const std::string open = R"({"action":"Getinfo","id":")";
    const std::string held = open + std::string(40 * 1024, 'x');
    {
        MessageAssembler first(&budget);
        MessageAssembler second(&budget);
        EXPECT_FALSE(first.feed(held.data(), held.size(), true));
        EXPECT_GE(budget.used(), held.size());

        expectUnsupported(feedMessage(second, held));
        EXPECT_EQ(second.pendingBytes(), 0u);
        expectRequest(feedMessage(second, kGetinfo), kGetinfo);
        // Room that is still free is used; a piece that would pass it goes.
        EXPECT_FALSE(second.feed(open.data(), open.size(), true));
        EXPECT_EQ(second.pendingBytes(), open.size());
        expectUnsupported(feedMessage(second, cut(std::string(30 * 1024, 'y'), 4096)));

        expectRequest(feedMessage(first, R"("})"), held + R"("})");
        EXPECT_EQ(budget.used(), 0u);
        EXPECT_FALSE(second.feed(held.data(), held.size(), true));
        EXPECT_GT(budget.used(), 0u);
    }
    EXPECT_EQ(budget.used(), 0u) << "a destroyed connection kept its room";

    // What the default budget allows: sixteen connections at the per-connection bound, not more.
    TextBudget agent;
    std::vector<std::unique_ptr<MessageAssembler>> connections;
    const std::string nearBound = open + std::string(MessageAssembler::kMaxTextBytes - open.size() - 8, 'z');
    int held16 = 0;
    for (int i = 0; i < 17; ++i) {
        connections.push_back(std::make_unique<MessageAssembler>(&agent));
        const Fed fed = feedMessage(*connections.back(), cut(nearBound, 40960));
        held16 += fed.outcomes.empty() ? 1 : 0;
    }
    EXPECT_EQ(held16, 16);
    EXPECT_LE(agent.used(), TextBudget::kAgentBytes);
}

// Nesting as deep as QJsonDocument accepts is joined; one level more is refused at the byte that
// opens it, so a text of nothing but openers never grows past that.
TEST(MessageAssembler, RefusesNestingDeeperThanTheParserAccepts)
{
    const auto nested = [](std::size_t depth, const std::string &opener, const std::string &closer) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i)
            text += opener;
        for (std::size_t i = 0; i < depth; ++i)
            text += closer;
        return text;
    };
    struct Row {
        std::string text;
        bool accepted;
    };
    const std::size_t limit = JsonScanner::kMaxDepth;
    const Row rows[] = {
        {nested(limit, "[", "]"), true},
        {nested(limit + 1, "[", "]"), false},
        {"{\"a\":" + nested(limit - 1, "[", "]") + "}", true},
        {nested(limit / 2, "{\"a\":[", "]}"), true},
        {"[" + nested(limit / 2, "{\"a\":[", "]}") + "]", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text.substr(0, 12) + "... of " + std::to_string(row.text.size()) + " bytes");
        EXPECT_EQ(!QJsonDocument::fromJson(QByteArray::fromStdString(row.text)).isNull(), row.accepted)
            << "the parser's limit moved";
        MessageAssembler assembler;
        const Fed fed = feedMessage(assembler, cut(row.text, 4096));
        ASSERT_EQ(fed.outcomes.size(), 1u);
        EXPECT_EQ(fed.outcomes[0].kind, row.accepted ? Kind::Request : Kind::Unsupported);
    }

    JsonScanner scanner;
    const std::string openers(limit + 1, '[');
    EXPECT_EQ(scanner.feed(openers.data(), limit), JsonScanner::Status::Open);
    EXPECT_EQ(scanner.feed(openers.data(), 1), JsonScanner::Status::Broken);
    MessageAssembler assembler;
    const std::string flood(MessageAssembler::kMaxTextBytes - 1, '[');
    EXPECT_FALSE(assembler.feed(flood.data(), flood.size(), false));
    EXPECT_EQ(assembler.pendingBytes(), 0u) << "the refused text is kept";
}

TEST(MessageAssembler, IncompletePrefixJoinsAcrossMessages)
{
    MessageAssembler assembler;
    EXPECT_TRUE(feedMessage(assembler, R"({"action":)").outcomes.empty());
    EXPECT_TRUE(feedMessage(assembler, R"("Getinfo",)").outcomes.empty());
    expectRequest(feedMessage(assembler, R"("id":1})"), kGetinfo);

    // White space alone waits for a document to follow.
    EXPECT_TRUE(feedMessage(assembler, "  \n").outcomes.empty());
    expectRequest(feedMessage(assembler, "[]"), "  \n[]");

    // A byte order mark split across messages.
    EXPECT_TRUE(feedMessage(assembler, "\xEF\xBB").outcomes.empty());
    expectRequest(feedMessage(assembler, "\xBF[]"), "\xEF\xBB\xBF[]");
}

// Random documents in the forms QJsonDocument accepts, cut at random places, must never be
// judged broken before their end and must be handed over exactly once, whole.
class DocumentWriter
{
public:
    explicit DocumentWriter(unsigned seed) : m_random(seed) {}

    std::string document()
    {
        std::string text = chance(10) ? "\xEF\xBB\xBF" : "";
        text += space();
        text += chance(2) ? object(0) : array(0);
        return text + space();
    }

private:
    bool chance(int oneIn) { return std::uniform_int_distribution<int>(1, oneIn)(m_random) == 1; }
    int pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(m_random); }

    std::string space()
    {
        static const char *forms[] = {"", "", "", " ", "\t", "\r\n", "  \n "};
        return forms[pick(7)];
    }

    std::string string()
    {
        static const char *parts[] = {"a", "Getinfo", "\\\"", "\\\\", "\\/", "\\n", "\\u00e9", "\\x",
                                      "\xC3\xA9", "\xE2\x82\xAC", "{", "}", "[", "]", ",", ":", " "};
        std::string text = "\"";
        for (int i = pick(6); i > 0; --i)
            text += parts[pick(17)];
        return text + "\"";
    }

    std::string value(int depth)
    {
        static const char *numbers[] = {"0", "-0", "7", "-12", "3.25", "1.", ".5", "-.5", "1e3", "2E+5", "12e-2"};
        static const char *literals[] = {"true", "false", "null"};
        switch (depth < 5 ? pick(5) : 2 + pick(3)) {
        case 0: return object(depth + 1);
        case 1: return array(depth + 1);
        case 2: return string();
        case 3: return numbers[pick(11)];
        default: return literals[pick(3)];
        }
    }

    std::string object(int depth)
    {
        std::string text = "{" + space();
        for (int i = pick(4); i > 0; --i) {
            text += string() + space() + ":" + space() + value(depth) + space();
            if (i > 1)
                text += "," + space();
        }
        return text + "}";
    }

    std::string array(int depth)
    {
        std::string text = "[" + space();
        for (int i = pick(4); i > 0; --i) {
            text += value(depth) + space();
            if (i > 1)
                text += "," + space();
        }
        return text + "]";
    }

    std::mt19937 m_random;
};

TEST(MessageAssembler, NeverRefusesARandomDocumentCutAnywhere)
{
    DocumentWriter writer(20240601);
    std::mt19937 cuts(7);
    int checked = 0;
    for (int sample = 0; sample < 3000; ++sample) {
        std::string text = writer.document();
        // Trailing white space would be handed over with the closing piece or wait for more;
        // keep the end exact so that one hand-over is the whole text.
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
            text.pop_back();
        if (!isCompleteJson(text))
            continue; // a form the parser refuses (nesting, number range): not this test's case
        ++checked;
        std::vector<std::string> pieces;
        for (size_t at = 0; at < text.size();) {
            const size_t size = std::uniform_int_distribution<size_t>(1, 8)(cuts);
            pieces.push_back(text.substr(at, size));
            at += size;
        }
        MessageAssembler assembler;
        SCOPED_TRACE(text);
        Fed fed = feedMessage(assembler, pieces);
        ASSERT_EQ(fed.outcomes.size(), 1u);
        ASSERT_EQ(fed.outcomes[0].kind, Kind::Request);
        ASSERT_EQ(fed.outcomes[0].text, text);
    }
    EXPECT_GT(checked, 2000);
}

// Single-byte changes of valid documents: whatever the parser accepts is handed over; the rest is
// never handed over.
TEST(MessageAssembler, AgreesWithTheParserOnChangedDocuments)
{
    DocumentWriter writer(99);
    std::mt19937 random(3);
    const std::string alphabet = "{}[]\":,\\ .-+eE0123456789tfnrulsa\x01\xEF\xBB\xBF";
    for (int sample = 0; sample < 4000; ++sample) {
        std::string text = writer.document();
        const size_t at = std::uniform_int_distribution<size_t>(0, text.size() - 1)(random);
        const char byte = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
        switch (random() % 3) {
        case 0: text[at] = byte; break;
        case 1: text.insert(text.begin() + at, byte); break;
        default: text.erase(at, 1); break;
        }
        SCOPED_TRACE(text);
        MessageAssembler assembler;
        Fed fed = feedMessage(assembler, text);
        if (isCompleteJson(text)) {
            ASSERT_EQ(fed.outcomes.size(), 1u);
            ASSERT_EQ(fed.outcomes[0].kind, Kind::Request);
        } else {
            for (const auto &outcome : fed.outcomes)
                ASSERT_EQ(outcome.kind, Kind::Unsupported);
        }
    }
}

} // namespace
