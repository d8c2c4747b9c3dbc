// Joining a large request: a text just below the 1 MiB bound arriving in 40960-byte pieces, as
// libwebsockets hands it over, against one QJsonDocument parse of the same text. The joining has to stay within a
// small factor of that one parse, whatever the shape of the document.
#include "agent/messageassembler.h"

#include <QByteArray>
#include <QJsonDocument>

#include <benchmark/benchmark.h>

#include <string>

namespace {

constexpr std::size_t kPieceBytes = 40960;
// Just below the per-connection bound, so that the whole text is accepted.
constexpr std::size_t kTextBytes = MessageAssembler::kMaxTextBytes - 4096;

// Many small tokens: the scanner's slowest case.
std::string playRequest()
{
    std::string text = R"({"action":"Play","application":"vlc","id":1,"params":{"arguments":[{"fullscreen":true}],"files":[)";
    const std::string tail = "]}}";
    for (int i = 0; text.size() + 80 + tail.size() < kTextBytes; ++i) {
        if (i)
            text += ',';
        text += R"({"url":"http://nas/media/)" + std::to_string(1000000 + i) + R"(.mkv","n":)" + std::to_string(i) + "}";
    }
    return text + tail;
}

// One long string: the scanner's fast path.
std::string longIdRequest()
{
    std::string text = R"({"action":"Getinfo","id":")";
    text.append(kTextBytes - text.size() - 2, 'x');
    return text + "\"}";
}

const std::string &textOf(int shape)
{
    static const std::string s_play = playRequest();
    static const std::string s_longId = longIdRequest();
    return shape == 0 ? s_play : s_longId;
}

const char *nameOf(int shape)
{
    return shape == 0 ? "many-tokens" : "long-string";
}

void assembleInPieces(benchmark::State &state)
{
    const std::string &text = textOf(static_cast<int>(state.range(0)));
    state.SetLabel(nameOf(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        MessageAssembler assembler;
        std::optional<MessageAssembler::Outcome> outcome;
        for (std::size_t at = 0; at < text.size(); at += kPieceBytes) {
            const std::size_t size = std::min(kPieceBytes, text.size() - at);
            outcome = assembler.feed(text.data() + at, size, at + size == text.size());
        }
        if (!outcome || outcome->kind != MessageAssembler::Outcome::Kind::Request || outcome->text.size() != text.size())
            state.SkipWithError("the request did not come out whole");
        benchmark::DoNotOptimize(outcome);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void parseOnce(benchmark::State &state)
{
    const QByteArray text = QByteArray::fromStdString(textOf(static_cast<int>(state.range(0))));
    state.SetLabel(nameOf(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        const QJsonDocument document = QJsonDocument::fromJson(text);
        if (!document.isObject())
            state.SkipWithError("the request does not parse");
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(assembleInPieces)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(parseOnce)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
