#include "TestModels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace testmodels {
namespace {

// The legacy whisper.cpp layout: magic, 11 int32 hyper-parameters, mel filters,
// vocabulary, then tensors (n_dims, name length, type, dims, name, data) until EOF.
// Everything is little-endian.
constexpr uint32_t kMagic = 0x67676d6c; // "lmgg" on disk
constexpr int32_t kFtypeF16 = 1;        // what base.en ships with
constexpr int32_t kMels = 80;
constexpr int32_t kFftBins = 201;       // n_fft 400 at 16 kHz

// An English-only model has 51864 token ids, but the file stores only the text tokens
// and <|endoftext|>; the loader names the special and timestamp tokens itself.
constexpr int32_t kVocab = 51864;
constexpr int kStoredTokens = 50257;
constexpr int kEot = 50256, kLangEn = 50258, kTimestamp0 = 50363;
constexpr int kOneSecond = kTimestamp0 + 50; // timestamps step by 20 ms
constexpr int kHello = 23748, kWorld = 995;  // their GPT-2 ids, as in the real vocabulary

struct Hparams {
    int32_t audioCtx, audioState, audioHead, audioLayer, textCtx, textState, textHead, textLayer;
};
constexpr Hparams kBaseEn{1500, 512, 8, 6, 448, 512, 8, 6};
// Real audio and text contexts keep every code path of whisper_full as it is for a real
// model; only the widths and depths shrink.
constexpr Hparams kTiny{1500, 32, 2, 1, 448, 32, 2, 1};

uint16_t toHalf(float f)
{
    const uint32_t x = std::bit_cast<uint32_t>(f);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const int exponent = int((x >> 23) & 0xff) - 127 + 15;
    const uint32_t mantissa = x & 0x7fffffu;
    if (exponent <= 0)
        return uint16_t(sign); // below 6e-5: irrelevant for weights, flush to zero
    if (exponent >= 31)
        return uint16_t(sign | 0x7c00u);
    uint32_t h = (uint32_t(exponent) << 10) | (mantissa >> 13);
    const uint32_t rest = mantissa & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (h & 1u)))
        ++h; // round to nearest even; a carry into the exponent is still correct
    return uint16_t(sign | h);
}

class Bytes {
public:
    void u32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            data.push_back(char((v >> (8 * i)) & 0xff));
    }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void f32(float v) { u32(std::bit_cast<uint32_t>(v)); }
    void f16(float v)
    {
        const uint16_t h = toHalf(v);
        data.push_back(char(h & 0xff));
        data.push_back(char(h >> 8));
    }
    void str(const std::string& s) { data += s; }

    std::string data;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write test model " + path.string());
}

// Slaney-normalised triangular mel filters, as librosa (and so OpenAI's mel_filters.npz)
// computes them for 80 bands, n_fft 400, 16 kHz.
std::vector<float> melFilters()
{
    const auto hzToMel = [](double hz) {
        return hz < 1000.0 ? hz * 3.0 / 200.0 : 15.0 + std::log(hz / 1000.0) * 27.0 / std::log(6.4);
    };
    const auto melToHz = [](double mel) {
        return mel < 15.0 ? mel * 200.0 / 3.0 : 1000.0 * std::exp((mel - 15.0) * std::log(6.4) / 27.0);
    };
    std::array<double, kMels + 2> edges{};
    for (int i = 0; i < kMels + 2; ++i)
        edges[i] = melToHz(hzToMel(8000.0) * i / (kMels + 1));

    std::vector<float> filters(size_t(kMels) * kFftBins, 0.0f);
    for (int m = 0; m < kMels; ++m) {
        const double norm = 2.0 / (edges[m + 2] - edges[m]);
        for (int k = 0; k < kFftBins; ++k) {
            const double hz = 8000.0 * k / (kFftBins - 1);
            const double rising = (hz - edges[m]) / (edges[m + 1] - edges[m]);
            const double falling = (edges[m + 2] - hz) / (edges[m + 2] - edges[m + 1]);
            filters[size_t(m) * kFftBins + k] = float(std::max(0.0, std::min(rising, falling)) * norm);
        }
    }
    return filters;
}

// GPT-2's byte tokens come first: printable bytes in order, then the rest. They let
// whisper_tokenize() handle any prompt, and the loader looks up " " (token 220).
std::string tokenText(int id)
{
    static const std::array<char, 256> byteTokens = [] {
        const auto printable = [](int b) { return (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174; };
        std::array<char, 256> t{};
        int n = 0;
        for (int pass = 0; pass < 2; ++pass)
            for (int b = 0; b < 256; ++b)
                if (printable(b) == (pass == 0))
                    t[n++] = char(b);
        return t;
    }();
    if (id < 256)
        return std::string(1, byteTokens[id]);
    if (id == kHello)
        return " hello";
    if (id == kWorld)
        return " world";
    if (id == kEot)
        return "<|endoftext|>";
    return "tok" + std::to_string(id);
}

Bytes header(const Hparams& hp)
{
    Bytes b;
    b.u32(kMagic);
    for (int32_t v : {kVocab, hp.audioCtx, hp.audioState, hp.audioHead, hp.audioLayer, hp.textCtx,
                      hp.textState, hp.textHead, hp.textLayer, kMels, kFtypeF16})
        b.i32(v);
    b.i32(kMels);
    b.i32(kFftBins);
    for (float f : melFilters())
        b.f32(f);
    b.i32(kStoredTokens);
    for (int id = 0; id < kStoredTokens; ++id) {
        const std::string t = tokenText(id);
        b.u32(uint32_t(t.size()));
        b.str(t);
    }
    return b;
}

// Weights of the tiny model. Every tensor is random, but the decoder's position
// embeddings carry a strong one-hot signal for the first positions, and the (tied)
// token embeddings read it back out, so position p predicts the p-th token of
//   <|0.00|> " hello" " world" <|1.00|> <|endoftext|>
// whatever the audio. With timestamps off, <|endoftext|> is the runner-up after " world".
class TinyWeights {
public:
    explicit TinyWeights(uint32_t seed) : rng(seed) {}

    std::string build()
    {
        const int d = kTiny.audioState;
        Bytes b = header(kTiny);

        randomTensor(b, "encoder.positional_embedding", {d, kTiny.audioCtx}, false, 0.1f);
        randomTensor(b, "encoder.conv1.weight", {3, kMels, d}, true, fanIn(3 * kMels));
        randomTensor(b, "encoder.conv1.bias", {1, d}, false, fanIn(3 * kMels));
        randomTensor(b, "encoder.conv2.weight", {3, d, d}, true, fanIn(3 * d));
        randomTensor(b, "encoder.conv2.bias", {1, d}, false, fanIn(3 * d));
        block(b, "encoder.blocks.0.", false);
        layerNorm(b, "encoder.ln_post.");

        std::vector<float> positions = randomValues(size_t(d) * kTiny.textCtx, 0.1f);
        for (int p = 0; p < kPlannedPositions; ++p)
            positions[size_t(p) * d + p] += kPositionSignal;
        tensor(b, "decoder.positional_embedding", {d, kTiny.textCtx}, false, positions);

        // Layer norm turns the position signal into roughly sqrt(d) in its own dimension,
        // so an entry of logit/sqrt(d) gives that token about `logit` at that position.
        std::vector<float> tokens = randomValues(size_t(d) * kVocab, 0.1f);
        for (const Target& t : kPlan)
            tokens[size_t(t.token) * d + t.position] += t.logit / std::sqrt(float(d));
        tensor(b, "decoder.token_embedding.weight", {d, kVocab}, true, tokens);
        layerNorm(b, "decoder.ln.");

        block(b, "decoder.blocks.0.", true);
        return b.data;
    }

private:
    struct Target { int position, token; float logit; };
    static constexpr float kPositionSignal = 16.0f;
    static constexpr int kPlannedPositions = 5;
    // Position 0 also makes "en" the detected language; lang tokens never get sampled.
    static constexpr std::array<Target, 7> kPlan{{
        {0, kTimestamp0, 20.0f}, {0, kLangEn, 12.0f}, {1, kHello, 20.0f}, {2, kWorld, 20.0f},
        {3, kOneSecond, 20.0f}, {3, kEot, 14.0f}, {4, kEot, 20.0f},
    }};

    static float fanIn(int n) { return 1.0f / std::sqrt(float(n)); }

    std::vector<float> randomValues(size_t n, float bound)
    {
        std::vector<float> v(n);
        // Not std::uniform_real_distribution: its output differs between standard libraries.
        for (float& x : v)
            x = bound * (float(rng() >> 8) / float(1 << 23) - 1.0f);
        return v;
    }

    static void tensor(Bytes& b, const std::string& name, const std::vector<int32_t>& ne, bool half,
                       const std::vector<float>& values)
    {
        b.i32(int32_t(ne.size()));
        b.i32(int32_t(name.size()));
        b.i32(half ? 1 : 0);
        for (int32_t n : ne)
            b.i32(n);
        b.str(name);
        for (float v : values)
            half ? b.f16(v) : b.f32(v);
    }

    void randomTensor(Bytes& b, const std::string& name, const std::vector<int32_t>& ne, bool half, float bound)
    {
        size_t n = 1;
        for (int32_t e : ne)
            n *= size_t(e);
        tensor(b, name, ne, half, randomValues(n, bound));
    }

    static void layerNorm(Bytes& b, const std::string& prefix)
    {
        const size_t d = size_t(kTiny.audioState);
        tensor(b, prefix + "weight", {int32_t(d)}, false, std::vector<float>(d, 1.0f));
        tensor(b, prefix + "bias", {int32_t(d)}, false, std::vector<float>(d, 0.0f));
    }

    void attention(Bytes& b, const std::string& prefix)
    {
        const int d = kTiny.audioState;
        for (const char* part : {"query", "key", "value", "out"}) {
            const std::string p = prefix + part;
            randomTensor(b, p + ".weight", {d, d}, true, fanIn(d));
            if (std::string(part) != "key") // whisper has no key bias
                randomTensor(b, p + ".bias", {d}, false, fanIn(d));
        }
    }

    void block(Bytes& b, const std::string& prefix, bool cross)
    {
        const int d = kTiny.audioState;
        layerNorm(b, prefix + "attn_ln.");
        attention(b, prefix + "attn.");
        if (cross) {
            layerNorm(b, prefix + "cross_attn_ln.");
            attention(b, prefix + "cross_attn.");
        }
        layerNorm(b, prefix + "mlp_ln.");
        randomTensor(b, prefix + "mlp.0.weight", {d, 4 * d}, true, fanIn(d));
        randomTensor(b, prefix + "mlp.0.bias", {4 * d}, false, fanIn(d));
        randomTensor(b, prefix + "mlp.2.weight", {4 * d, d}, true, fanIn(4 * d));
        randomTensor(b, prefix + "mlp.2.bias", {d}, false, fanIn(4 * d));
    }

    std::mt19937 rng;
};

} // namespace

void writeHeaderOnlyBaseEn(const std::filesystem::path& path)
{
    writeFile(path, header(kBaseEn).data);
}

void writeTinyRandom(const std::filesystem::path& path, uint32_t seed)
{
    writeFile(path, TinyWeights(seed).build());
}

void writeBadMagic(const std::filesystem::path& path)
{
    std::string bytes = header(kBaseEn).data;
    bytes.replace(0, 4, "GGUF"); // a llama.cpp-era model is the likeliest wrong file
    writeFile(path, bytes);
}

void writeTruncated(const std::filesystem::path& path)
{
    // Cut inside the weights, as an interrupted download would leave it.
    const std::string bytes = TinyWeights(1234).build();
    writeFile(path, bytes.substr(0, bytes.size() / 2));
}

} // namespace testmodels
