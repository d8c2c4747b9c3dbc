#include "protocol/envelope.h"
#include "protocoltestsupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace protocoltest;

namespace {

const std::string kUnsupport = testsupport::kUnsupport.toStdString();

const std::string kSupport = testsupport::kGetinfoSupport.toStdString();

struct Row {
    std::string request;
    std::string reply;
};

class Envelope : public ::testing::Test {
protected:
    void SetUp() override { setPlayers(false, false); }

    // Every row gets exactly its reply, and none of them reaches a player.
    void expectReplies(const std::vector<Row> &rows)
    {
        for (const Row &row : rows) {
            Recorder recorder;
            EXPECT_EQ(handleRequest(row.request, recorder.context()), row.reply) << "request: " << row.request;
            EXPECT_TRUE(recorder.launches.empty()) << row.request;
            EXPECT_EQ(recorder.stops, 0) << row.request;
        }
    }
};

TEST_F(Envelope, AnythingButAKnownRequestIsUnsupported)
{
    using namespace std::string_literals;
    expectReplies({
        {"", kUnsupport},
        {"not json", kUnsupport},
        {"[1,2]", kUnsupport},
        {R"([{"action":"Getinfo"}])", kUnsupport},
        {"42", kUnsupport},
        {R"("Getinfo")", kUnsupport},
        {"null", kUnsupport},
        {"{}", kUnsupport},
        {R"({"id":1,"application":"vlc","params":{}})", kUnsupport},
        {R"({"action":7})", kUnsupport},
        {R"({"action":null})", kUnsupport},
        {R"({"action":["Getinfo"]})", kUnsupport},
        {R"({"action":"getinfo"})", kUnsupport},
        {R"({"action":"GETINFO","id":1})", kUnsupport},
        {R"({"action":"Getinfo "})", kUnsupport},
        {R"({"action":"Play"})", kUnsupport},
        {R"({"action":"Play","id":3,"application":"vlc","files":[]})", kUnsupport},
        {R"({"action":"play","params":{}})", kUnsupport},
        {R"({"action":"Stop","id":5})", kUnsupport},
        // Two documents in a row do not parse as one.
        {R"({"action":"Getinfo"}{"action":"Getinfo"})", kUnsupport},
        // The text ends at its first NUL.
        {"{\"action\":\"Get\0info\"}"s, kUnsupport},
    });
}

TEST_F(Envelope, TextEndsAtItsFirstNul)
{
    using namespace std::string_literals;
    expectReplies({
        {"{\"action\":\"Getinfo\",\"id\":2}\0{\"action\":\"Play\"}"s,
         R"({"action":"Getinfo","applications":[],"id":2,)" + kSupport},
    });
}

TEST_F(Envelope, IdIsEchoedWhateverItsType)
{
    const std::string getinfo = R"({"action":"Getinfo","applications":[],)";
    expectReplies({
        {R"({"action":"Getinfo","id":1})", getinfo + R"("id":1,)" + kSupport},
        {R"({"action":"Getinfo","id":-2.5})", getinfo + R"("id":-2.5,)" + kSupport},
        {R"({"action":"Getinfo","id":"abc-1"})", getinfo + R"("id":"abc-1",)" + kSupport},
        {R"({"action":"Getinfo","id":{"b":[1,{"c":null}],"a":true}})",
         getinfo + R"("id":{"a":true,"b":[1,{"c":null}]},)" + kSupport},
        {R"({"action":"Getinfo","id":[3,"x",[]]})", getinfo + R"("id":[3,"x",[]],)" + kSupport},
        {R"({"action":"Getinfo","id":null})", getinfo + R"("id":null,)" + kSupport},
        {R"({"action":"Getinfo","id":false})", getinfo + R"("id":false,)" + kSupport},
        {R"({"action":"Getinfo"})", getinfo + kSupport},
        {u8R"({"action":"Getinfo","id":"Grüße ☃"})", getinfo + u8R"("id":"Grüße ☃",)" + kSupport},
        // Bytes that are not UTF-8 come back as replacement characters, never raw.
        {"{\"action\":\"Getinfo\",\"id\":\"a\xff\"}", getinfo + "\"id\":\"a\xEF\xBF\xBD\"," + kSupport},

        // elmedia is never installed, so these Play requests end right after the check.
        {R"({"action":"Play","application":"elmedia","params":{},"id":7})",
         R"({"action":"Play","id":7,"return":-1})"},
        {R"({"action":"Play","application":"elmedia","params":{},"id":{"k":"v"}})",
         R"({"action":"Play","id":{"k":"v"},"return":-1})"},
        {R"({"action":"Play","application":"elmedia","params":{},"id":null})",
         R"({"action":"Play","id":null,"return":-1})"},
        {R"({"action":"Play","application":"elmedia","params":{}})", R"({"action":"Play","return":-1})"},
        // The Unsupport reply never carries the id.
        {R"({"action":"Play","application":"mplayer","params":{},"id":7})", kUnsupport},
    });
}

// Qt's parser leaks the earlier value of a repeated name, so any object that repeats one is
// refused; names count as the same when they decode to the same text.
TEST_F(Envelope, RequestThatRepeatsANameIsUnsupported)
{
    const std::string getinfo = R"({"action":"Getinfo","applications":[],"id":1,)" + kSupport;
    expectReplies({
        {R"({"action":"Getinfo","action":"Getinfo"})", kUnsupport},
        {R"({"action":"Getinfo","id":1,"id":2})", kUnsupport},
        {R"({"action":"Getinfo","id":{"a":[1]},"id":{"a":[2]}})", kUnsupport},
        {R"({"action":"Getinfo","\u0061ction":"Getinfo"})", kUnsupport},
        {R"({"action":"Getinfo","id":[{"x":1,"x":2}]})", kUnsupport},
        {R"({"action":"Getinfo","\ud83d\ude00":1,"\ud83d\ude00":2})", kUnsupport},
        // Not repeats: the same name in sibling or nested objects, names that only look alike,
        // and names inside strings.
        {R"({"action":"Getinfo","id":1,"p":[{"x":1},{"x":2}],"q":{"p":{"p":0}}})", getinfo},
        {R"({"action":"Getinfo","id":1,"a":0,"A":0,"a ":0,"\"a":0,"a\\":0})", getinfo},
        {R"({"action":"Getinfo","id":1,"v":"\"id\":2,\"id\":3","w":["id","id"]})", getinfo},
    });
}

TEST_F(Envelope, ExtraKeysAreIgnored)
{
    expectReplies({
        {R"({"Text":"x","return":0,"action":"Getinfo","params":{"files":[{"url":"a"}]},"application":"vlc","id":1,"version":"0"})",
         R"({"action":"Getinfo","applications":[],"id":1,)" + kSupport},
        {R"({"action":"Play","application":"elmedia","params":{"files":[{"url":"a"}]},"download_subfile_result":true,"zzz":1})",
         R"({"action":"Play","return":-1})"},
    });
}

TEST_F(Envelope, PlayTakesParamsOfAnyTypeAndApplicationAsAString)
{
    expectReplies({
        {R"({"action":"Play","application":"elmedia","params":null})", R"({"action":"Play","return":-1})"},
        {R"({"action":"Play","application":"elmedia","params":"x"})", R"({"action":"Play","return":-1})"},
        {R"({"action":"Play","application":"elmedia","params":[]})", R"({"action":"Play","return":-1})"},
        // Not one of the three players, exactly.
        {R"({"action":"Play","params":{"files":[{"url":"a"}]}})", kUnsupport},
        {R"({"action":"Play","application":7,"params":{}})", kUnsupport},
        {R"({"action":"Play","application":"VLC","params":{}})", kUnsupport},
        {R"({"action":"Play","application":"Elmedia","params":{}})", kUnsupport},
        {R"({"action":"Play","application":"","params":{}})", kUnsupport},
    });
}

} // namespace
