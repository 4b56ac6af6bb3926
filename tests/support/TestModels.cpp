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
constexpr int kEot = 50256, kSot = 50257, kLangEn = 50258, kNoTimestamps = 50362, kTimestamp0 = 50363;
constexpr int kOneSecond = kTimestamp0 + 50; // timestamps step by 20 ms
constexpr int kHello = 23748, kWorld = 995;  // their GPT-2 ids, as in the real vocabulary

struct Hparams {
    int32_t audioCtx, audioState, audioHead, audioLayer, textCtx, textState, textHead, textLayer;
    int32_t ftype = kFtypeF16;
    int32_t mels = kMels, vocab = kVocab;
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
// computes them for 80 (or large-v3's 128) bands, n_fft 400, 16 kHz.
std::vector<float> melFilters(int mels)
{
    const auto hzToMel = [](double hz) {
        return hz < 1000.0 ? hz * 3.0 / 200.0 : 15.0 + std::log(hz / 1000.0) * 27.0 / std::log(6.4);
    };
    const auto melToHz = [](double mel) {
        return mel < 15.0 ? mel * 200.0 / 3.0 : 1000.0 * std::exp((mel - 15.0) * std::log(6.4) / 27.0);
    };
    std::vector<double> edges(size_t(mels) + 2);
    for (int i = 0; i < mels + 2; ++i)
        edges[size_t(i)] = melToHz(hzToMel(8000.0) * i / (mels + 1));

    std::vector<float> filters(size_t(mels) * kFftBins, 0.0f);
    for (int m = 0; m < mels; ++m) {
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
    for (int32_t v : {hp.vocab, hp.audioCtx, hp.audioState, hp.audioHead, hp.audioLayer, hp.textCtx,
                      hp.textState, hp.textHead, hp.textLayer, hp.mels, hp.ftype})
        b.i32(v);
    b.i32(hp.mels);
    b.i32(kFftBins);
    for (float f : melFilters(hp.mels))
        b.f32(f);
    b.i32(kStoredTokens);
    for (int id = 0; id < kStoredTokens; ++id) {
        const std::string t = tokenText(id);
        b.u32(uint32_t(t.size()));
        b.str(t);
    }
    return b;
}

// Weights of the tiny model: all random, plus a planted bigram. The token fed in at a
// step (SOT, NOT or one of the planted tokens) carries a strong code in one of the
// first 8 dimensions; one decoder MLP unit per code turns it into a signal in one of
// the next 8; the final layer norm hides the input codes; and the (tied) token
// embeddings read the signal out as the next token's logit. So greedy decoding gives
//   <|0.00|> " hello" " world" <|1.00|> <|endoftext|>
// from any audio and after any prompt; with timestamps off, <|endoftext|> is the
// runner-up after " world".
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
        attentionBlock(b, "encoder.blocks.0.", false);
        mlp(b, "encoder.blocks.0.", false);
        layerNorm(b, "encoder.ln_post.");

        randomTensor(b, "decoder.positional_embedding", {d, kTiny.textCtx}, false, 0.1f);
        tokens = randomValues(size_t(d) * kVocab, 0.1f);
        for (int input : kInputs)
            tokens[size_t(input) * d + codeOf(input)] = kCode;
        for (const Transition& t : kTransitions)
            tokens[size_t(t.to) * d + kCodes + codeOf(t.from)] += t.logit / kReadout;
        tensor(b, "decoder.token_embedding.weight", {d, kVocab}, true, tokens);
        std::vector<float> finalNorm(size_t(d), 1.0f);
        std::fill_n(finalNorm.begin(), kCodes, 0.0f);
        tensor(b, "decoder.ln.weight", {d}, false, finalNorm);
        tensor(b, "decoder.ln.bias", {d}, false, std::vector<float>(size_t(d), 0.0f));
        attentionBlock(b, "decoder.blocks.0.", true);
        mlp(b, "decoder.blocks.0.", true);
        return b.data;
    }

private:
    struct Transition { int from, to; float logit; };
    // SOT's second choice makes "en" the detected language (lang tokens are never sampled).
    // The random logits of the other 51k tokens add up to about e^11: a planted choice
    // needs a logit well above 11 to be near-certain (or decoding falls back to sampling).
    static constexpr std::array<Transition, 8> kTransitions{{
        {kSot, kTimestamp0, 30.0f}, {kSot, kLangEn, 15.0f}, {kTimestamp0, kHello, 30.0f},
        {kNoTimestamps, kHello, 30.0f}, {kHello, kWorld, 30.0f}, {kWorld, kOneSecond, 30.0f},
        {kWorld, kEot, 24.0f}, {kOneSecond, kEot, 30.0f},
    }};
    static constexpr std::array<int, 6> kInputs{kSot, kTimestamp0, kNoTimestamps, kHello, kWorld, kOneSecond};
    static constexpr int kCodes = 8;
    static_assert(kInputs.size() <= kCodes);
    // Magnitudes along the planted path: the code (normalised to about 5) fires its unit
    // to about kUnitOutput, which writes kSignal; code and signal dominate the residual,
    // so the final layer norm leaves about kReadout of the signal.
    static constexpr float kCode = 16.0f, kUnitOutput = 3.0f, kSignal = 24.0f, kReadout = 4.5f;

    static int codeOf(int token)
    {
        return int(std::find(kInputs.begin(), kInputs.end(), token) - kInputs.begin());
    }

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
        const int32_t d = kTiny.audioState;
        tensor(b, prefix + "weight", {d}, false, std::vector<float>(size_t(d), 1.0f));
        tensor(b, prefix + "bias", {d}, false, std::vector<float>(size_t(d), 0.0f));
    }

    void attention(Bytes& b, const std::string& prefix)
    {
        const int d = kTiny.audioState;
        for (const std::string part : {"query", "key", "value", "out"}) {
            randomTensor(b, prefix + part + ".weight", {d, d}, true, fanIn(d));
            if (part != "key") // whisper has no key bias
                randomTensor(b, prefix + part + ".bias", {d}, false, fanIn(d));
        }
    }

    void attentionBlock(Bytes& b, const std::string& prefix, bool cross)
    {
        layerNorm(b, prefix + "attn_ln.");
        attention(b, prefix + "attn.");
        if (cross) {
            layerNorm(b, prefix + "cross_attn_ln.");
            attention(b, prefix + "cross_attn.");
        }
    }

    // With `planted`, hidden unit i fires only on input code i and writes the signal
    // into dimension kCodes + i. It also cancels the input token's own readout entries,
    // which would otherwise make every planted token predict itself.
    void mlp(Bytes& b, const std::string& prefix, bool planted)
    {
        const int d = kTiny.audioState, hidden = 4 * d;
        std::vector<float> w0 = randomValues(size_t(hidden) * d, fanIn(d));
        std::vector<float> b0 = randomValues(size_t(hidden), fanIn(d));
        std::vector<float> w2 = randomValues(size_t(d) * hidden, fanIn(hidden));
        std::vector<float> b2 = randomValues(size_t(d), fanIn(hidden));
        for (int i = 0; planted && i < int(kInputs.size()); ++i) {
            w0[size_t(i) * d + i] = 1.0f;
            b0[size_t(i)] = -2.0f; // fires at about 3 on its code, else stays near 0
            for (int j = 0; j < kCodes; ++j)
                w2[size_t(kCodes + j) * hidden + i] = -tokens[size_t(kInputs[i]) * d + kCodes + j] / kUnitOutput;
            w2[size_t(kCodes + i) * hidden + i] += kSignal / kUnitOutput;
        }
        layerNorm(b, prefix + "mlp_ln.");
        tensor(b, prefix + "mlp.0.weight", {d, hidden}, true, w0);
        tensor(b, prefix + "mlp.0.bias", {hidden}, false, b0);
        tensor(b, prefix + "mlp.2.weight", {hidden, d}, true, w2);
        tensor(b, prefix + "mlp.2.bias", {d}, false, b2);
    }

    std::mt19937 rng;
    std::vector<float> tokens;
};

// Element storage (elements, bytes per block) and ggml type of the weight matrices for
// the file types writeBlank() supports.
struct WeightStorage { int32_t type, blockElements, blockBytes; };

WeightStorage weightStorage(int32_t ftype)
{
    switch (ftype) {
    case 0: return {0, 1, 4};      // all F32
    case 1: return {1, 1, 2};      // F16
    case 2: return {2, 32, 18};    // Q4_0
    case 3: return {3, 32, 20};    // Q4_1
    case 7: return {8, 32, 34};    // Q8_0
    case 8: return {6, 32, 22};    // Q5_0
    case 9: return {7, 32, 24};    // Q5_1
    case 10: return {10, 256, 84}; // Q2_K
    case 12: return {12, 256, 144}; // Q4_K
    case 14: return {14, 256, 210}; // Q6_K
    case 24: return {30, 1, 2};    // BF16
    default: throw std::invalid_argument("writeBlank: unsupported ftype " + std::to_string(ftype));
    }
}

// Streams the model: a base.en-sized one is about 150 MB.
class BlankWriter {
public:
    BlankWriter(const std::filesystem::path& path, const BlankModel& shape)
        : out(path, std::ios::binary | std::ios::trunc), d(shape.width), weights(weightStorage(shape.ftype % 1000))
    {
        const Hparams hp{1500,        shape.width, shape.heads, shape.layers, 448,        shape.width,
                         shape.heads, shape.layers, shape.ftype, shape.mels,  shape.vocab};
        const std::string head = header(hp).data;
        out.write(head.data(), std::streamsize(head.size()));

        const int32_t conv = weights.type == 0 ? 0 : 1;
        tensor("encoder.positional_embedding", {d, hp.audioCtx}, 0);
        tensor("encoder.conv1.weight", {3, hp.mels, d}, conv);
        tensor("encoder.conv1.bias", {1, d}, 0);
        tensor("encoder.conv2.weight", {3, d, d}, conv);
        tensor("encoder.conv2.bias", {1, d}, 0);
        tensor("encoder.ln_post.weight", {d}, 0);
        tensor("encoder.ln_post.bias", {d}, 0);
        for (int i = 0; i < shape.layers; ++i) {
            const std::string block = "encoder.blocks." + std::to_string(i) + ".";
            attention(block + "attn");
            mlp(block);
        }
        tensor("decoder.positional_embedding", {d, hp.textCtx}, 0);
        tensor("decoder.token_embedding.weight", {d, hp.vocab}, weights.type);
        tensor("decoder.ln.weight", {d}, 0);
        tensor("decoder.ln.bias", {d}, 0);
        for (int i = 0; i < shape.layers; ++i) {
            const std::string block = "decoder.blocks." + std::to_string(i) + ".";
            attention(block + "attn");
            attention(block + "cross_attn");
            mlp(block);
        }
        out.close();
        if (!out)
            throw std::runtime_error("cannot write test model " + path.string());
    }

private:
    void attention(const std::string& prefix)
    {
        tensor(prefix + "_ln.weight", {d}, 0);
        tensor(prefix + "_ln.bias", {d}, 0);
        for (const std::string part : {"query", "key", "value", "out"}) {
            tensor(prefix + "." + part + ".weight", {d, d}, weights.type);
            if (part != "key")
                tensor(prefix + "." + part + ".bias", {d}, 0);
        }
    }

    void mlp(const std::string& prefix)
    {
        tensor(prefix + "mlp_ln.weight", {d}, 0);
        tensor(prefix + "mlp_ln.bias", {d}, 0);
        tensor(prefix + "mlp.0.weight", {d, 4 * d}, weights.type);
        tensor(prefix + "mlp.0.bias", {4 * d}, 0);
        tensor(prefix + "mlp.2.weight", {4 * d, d}, weights.type);
        tensor(prefix + "mlp.2.bias", {d}, 0);
    }

    void tensor(const std::string& name, const std::vector<int32_t>& ne, int32_t type)
    {
        Bytes b;
        b.i32(int32_t(ne.size()));
        b.i32(int32_t(name.size()));
        b.i32(type);
        size_t n = 1;
        for (int32_t e : ne) {
            b.i32(e);
            n *= size_t(e);
        }
        b.str(name);
        out.write(b.data.data(), std::streamsize(b.data.size()));
        const size_t bytes = type == 0 ? n * 4 : type == 1 || type == 30 ? n * 2
                                                 : n / size_t(weights.blockElements) * size_t(weights.blockBytes);
        zeros(bytes);
    }

    void zeros(size_t count)
    {
        static const std::vector<char> block(1 << 20, 0);
        for (size_t left = count; left > 0;) {
            const size_t chunk = std::min(left, block.size());
            out.write(block.data(), std::streamsize(chunk));
            left -= chunk;
        }
    }

    std::ofstream out;
    int32_t d;
    WeightStorage weights;
};

} // namespace

void writeBlank(const std::filesystem::path& path, const BlankModel& shape)
{
    BlankWriter(path, shape);
}

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
    // Cut half-way, inside the token embeddings, as an interrupted download leaves a file.
    const std::string bytes = TinyWeights(1234).build();
    writeFile(path, bytes.substr(0, bytes.size() / 2));
}

} // namespace testmodels
