#include "ModelFileCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace transcription {

ModelBytes::~ModelBytes() = default;

namespace {

static_assert(std::endian::native == std::endian::little, "model files are little-endian");

constexpr uint32_t kMagic = 0x67676d6c;
constexpr int32_t kQuantisationVersionFactor = 1000;
constexpr int32_t kLatestQuantisationVersion = 2;

// ggml type ids.
constexpr int32_t kF32 = 0, kF16 = 1;

// Every released whisper model decodes 30 s windows: 3000 mel frames halved by the
// second convolution, and 448 text positions. whisper.cpp sizes its buffers, windows
// and prompt limits from these two values without checking them.
constexpr int32_t kAudioContext = 1500;
constexpr int32_t kTextContext = 448;
// English-only, multilingual and large-v3 vocabularies: the library places its special
// and timestamp tokens and its language list from these three sizes only.
constexpr int32_t kLeastVocabulary = 51864, kMostVocabulary = 51866;
constexpr int32_t kFftBins = 201; // the library's 400-point FFT at 16 kHz
// Far above any released model (large: width 1280, 32 layers), low enough that no
// product of sizes overflows the library's 32-bit element counts.
constexpr int32_t kMostWidth = 4096, kMostLayers = 64;
constexpr int32_t kMostNameLength = 128;

// Buffered little-endian reads over ModelBytes, never past its end.
class Cursor
{
public:
    explicit Cursor(const ModelBytes& bytes)
        : m_bytes(bytes)
        , m_size(bytes.size())
        , m_memory(bytes.contiguous())
    {
    }

    uint64_t offset() const { return m_offset; }
    uint64_t remaining() const { return m_size - m_offset; }

    // A pointer to the next `count` bytes, valid until the next call; null past the end.
    const char* take(size_t count)
    {
        if (count > remaining())
            return nullptr;
        const uint64_t at = m_offset;
        m_offset += count;
        if (m_memory)
            return m_memory + at;
        if (at < m_bufferStart || at + count > m_bufferStart + m_buffer.size()) {
            m_buffer.resize(std::max<size_t>(count, kBufferBytes));
            const size_t fill = size_t(std::min<uint64_t>(m_buffer.size(), m_size - at));
            if (!m_bytes.read(at, m_buffer.data(), fill)) {
                m_offset = m_size; // nothing further is readable
                m_buffer.clear();
                return nullptr;
            }
            m_buffer.resize(fill);
            m_bufferStart = at;
        }
        return m_buffer.data() + (at - m_bufferStart);
    }

    bool skip(uint64_t count)
    {
        if (count > remaining())
            return false;
        m_offset += count;
        return true;
    }

    template <typename T>
    bool value(T& out)
    {
        const char* p = take(sizeof(T));
        if (!p)
            return false;
        std::memcpy(&out, p, sizeof(T));
        return true;
    }

private:
    static constexpr size_t kBufferBytes = 64 * 1024;
    const ModelBytes& m_bytes;
    const uint64_t m_size;
    const char* const m_memory;
    uint64_t m_offset = 0;
    std::vector<char> m_buffer;
    uint64_t m_bufferStart = 0;
};

struct Hparams
{
    int32_t vocab, audioCtx, audioState, audioHead, audioLayer, textCtx, textState, textHead,
        textLayer, mels, ftype;
};

struct ExpectedTensor
{
    std::array<int64_t, 4> shape;
    int32_t type;
    uint64_t dataBytes = 0; // 0 when the rows do not split into whole blocks
    bool seen = false;
};

using TensorTable = std::unordered_map<std::string, ExpectedTensor>;

std::string hparamsProblem(const Hparams& h)
{
    if (h.vocab < kLeastVocabulary || h.vocab > kMostVocabulary)
        return "unsupported vocabulary size " + std::to_string(h.vocab);
    if (h.audioCtx != kAudioContext || h.textCtx != kTextContext)
        return "unsupported context sizes";
    if (h.audioState != h.textState || h.audioState < 1 || h.audioState > kMostWidth)
        return "unsupported widths";
    for (int32_t heads : {h.audioHead, h.textHead}) {
        if (heads < 1 || h.audioState % heads != 0)
            return "head count does not divide the width";
    }
    for (int32_t layers : {h.audioLayer, h.textLayer}) {
        if (layers < 1 || layers > kMostLayers)
            return "unsupported layer count";
    }
    if (h.mels != 80 && h.mels != 128)
        return "unsupported mel band count";
    if (weightTypeForFtype(h.ftype) < 0)
        return "unsupported weight type " + std::to_string(h.ftype);
    return {};
}

// Calls visit(prefix, name, shape, type) for each tensor whisper.cpp creates for these
// hyper-parameters (its full name is prefix + name), with the shape and type it reads
// it into. The file's type must be that type: the library copies the bytes as they are.
// Allocates nothing, so the size bound below stays cheap.
template <typename Visit>
void forEachTensor(const Hparams& h, Visit&& visit)
{
    const int32_t w = weightTypeForFtype(h.ftype);
    const int32_t conv = w == kF32 ? kF32 : kF16;
    const int64_t d = h.audioState;
    std::array<char, 32> prefixBuffer{};
    std::string_view prefix;
    const auto setPrefix = [&](std::string_view part, int layer) {
        // "decoder.blocks." and up to two digits: layers are at most kMostLayers.
        std::copy(part.begin(), part.end(), prefixBuffer.begin());
        size_t n = part.size();
        if (layer >= 10)
            prefixBuffer[n++] = char('0' + layer / 10);
        prefixBuffer[n++] = char('0' + layer % 10);
        prefixBuffer[n++] = '.';
        prefix = std::string_view(prefixBuffer.data(), n);
    };
    const auto add = [&](std::string_view name, std::array<int64_t, 4> shape, int32_t type) {
        visit(prefix, name, shape, type);
    };
    const auto vector = [&](std::string_view name, int64_t n) { add(name, {n, 1, 1, 1}, kF32); };
    const auto attention = [&](bool cross) {
        vector(cross ? "cross_attn_ln.weight" : "attn_ln.weight", d);
        vector(cross ? "cross_attn_ln.bias" : "attn_ln.bias", d);
        add(cross ? "cross_attn.query.weight" : "attn.query.weight", {d, d, 1, 1}, w);
        vector(cross ? "cross_attn.query.bias" : "attn.query.bias", d);
        add(cross ? "cross_attn.key.weight" : "attn.key.weight", {d, d, 1, 1}, w); // no key bias
        add(cross ? "cross_attn.value.weight" : "attn.value.weight", {d, d, 1, 1}, w);
        vector(cross ? "cross_attn.value.bias" : "attn.value.bias", d);
        add(cross ? "cross_attn.out.weight" : "attn.out.weight", {d, d, 1, 1}, w);
        vector(cross ? "cross_attn.out.bias" : "attn.out.bias", d);
    };
    const auto mlp = [&] {
        vector("mlp_ln.weight", d);
        vector("mlp_ln.bias", d);
        add("mlp.0.weight", {d, 4 * d, 1, 1}, w);
        vector("mlp.0.bias", 4 * d);
        add("mlp.2.weight", {4 * d, d, 1, 1}, w);
        vector("mlp.2.bias", d);
    };

    add("encoder.positional_embedding", {d, h.audioCtx, 1, 1}, kF32);
    add("encoder.conv1.weight", {3, h.mels, d, 1}, conv);
    add("encoder.conv1.bias", {1, d, 1, 1}, kF32);
    add("encoder.conv2.weight", {3, d, d, 1}, conv);
    add("encoder.conv2.bias", {1, d, 1, 1}, kF32);
    vector("encoder.ln_post.weight", d);
    vector("encoder.ln_post.bias", d);
    for (int i = 0; i < h.audioLayer; ++i) {
        setPrefix("encoder.blocks.", i);
        attention(false);
        mlp();
    }
    prefix = {};
    add("decoder.positional_embedding", {d, h.textCtx, 1, 1}, kF32);
    add("decoder.token_embedding.weight", {d, h.vocab, 1, 1}, w);
    vector("decoder.ln.weight", d);
    vector("decoder.ln.bias", d);
    for (int i = 0; i < h.textLayer; ++i) {
        setPrefix("decoder.blocks.", i);
        attention(false);
        attention(true);
        mlp();
    }
}

// Bytes of a tensor's data, or 0 when its rows do not split into whole blocks. Shapes
// are bounded by the hyper-parameter checks: no product overflows.
uint64_t dataBytes(const std::array<int64_t, 4>& shape, int32_t type)
{
    const ElementStorage storage = elementStorage(type);
    if (shape[0] % storage.blockElements != 0)
        return 0;
    return uint64_t(shape[0] * shape[1] * shape[2] * shape[3] / storage.blockElements) * uint64_t(storage.blockBytes);
}

TensorTable expectedTensors(const Hparams& h)
{
    TensorTable t;
    forEachTensor(h, [&t](std::string_view prefix, std::string_view name, const std::array<int64_t, 4>& shape,
                          int32_t type) {
        std::string full;
        full.reserve(prefix.size() + name.size());
        full.append(prefix).append(name);
        t.emplace(std::move(full), ExpectedTensor{shape, type, dataBytes(shape, type)});
    });
    return t;
}

std::string melFiltersProblem(Cursor& in, const Hparams& h)
{
    int32_t bands = 0, bins = 0;
    if (!in.value(bands) || !in.value(bins))
        return "file ends in the mel filters";
    if (bands != h.mels || bins != kFftBins)
        return "mel filter shape does not match the model";
    const size_t count = size_t(bands) * size_t(bins);
    const char* p = in.take(count * sizeof(float));
    if (!p)
        return "file ends in the mel filters";
    for (size_t i = 0; i < count; ++i) {
        float f;
        std::memcpy(&f, p + i * sizeof(float), sizeof f);
        if (!std::isfinite(f) || f < 0.0f) // triangular filters: never negative
            return "mel filter value out of range";
    }
    return {};
}

std::string vocabularyProblem(Cursor& in, const Hparams& h)
{
    int32_t count = 0;
    if (!in.value(count))
        return "file ends before the vocabulary";
    // The library names the tokens a file leaves out itself, but a file with more than
    // the model's tokens is not one of its vocabularies.
    if (count < 1 || count > h.vocab)
        return "vocabulary count " + std::to_string(count) + " out of range";
    bool hasSpace = false;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!in.value(length))
            return "file ends in the vocabulary";
        // Only a one-byte entry is read; others are skipped, whatever their length.
        if (length == 1) {
            const char* text = in.take(1);
            if (!text)
                return "file ends in the vocabulary";
            hasSpace = hasSpace || text[0] == ' ';
        } else if (!in.skip(length)) {
            return "file ends in the vocabulary";
        }
    }
    // Decoding looks the blank token up by its text and aborts if it is missing.
    if (!hasSpace)
        return "vocabulary has no blank token";
    return {};
}

// The fewest bytes a file with these tensors can have: each record at its shortest
// (one dimension field), and an empty vocabulary.
uint64_t leastFileSize(const Hparams& h)
{
    uint64_t bytes = 4 + 11 * 4 + 8 + uint64_t(h.mels) * kFftBins * 4 + 4;
    forEachTensor(h, [&bytes](std::string_view prefix, std::string_view name, const std::array<int64_t, 4>& shape,
                              int32_t type) { bytes += 4 * 4 + prefix.size() + name.size() + dataBytes(shape, type); });
    return bytes;
}

std::string tensorsProblem(Cursor& in, TensorTable& expected)
{
    size_t seen = 0;
    while (in.remaining() > 0) {
        int32_t dims = 0, nameLength = 0, type = 0;
        if (!in.value(dims) || !in.value(nameLength) || !in.value(type))
            return "file ends in a tensor header";
        if (dims < 1 || dims > 4)
            return "tensor dimension count out of range";
        if (nameLength < 1 || nameLength > kMostNameLength)
            return "tensor name length out of range";
        std::array<int64_t, 4> shape{1, 1, 1, 1};
        for (int32_t i = 0; i < dims; ++i) {
            int32_t n = 0;
            if (!in.value(n))
                return "file ends in a tensor header";
            if (n < 1)
                return "tensor dimension out of range";
            shape[size_t(i)] = n;
        }
        const char* namePtr = in.take(size_t(nameLength));
        if (!namePtr)
            return "file ends in a tensor name";
        const std::string name(namePtr, size_t(nameLength));
        const auto it = expected.find(name);
        if (it == expected.end())
            return "unknown tensor " + name;
        ExpectedTensor& tensor = it->second;
        if (tensor.seen)
            return "tensor " + name + " appears twice";
        if (shape != tensor.shape)
            return "tensor " + name + " has the wrong shape";
        if (type != tensor.type)
            return "tensor " + name + " has the wrong type";
        if (tensor.dataBytes == 0)
            return "tensor " + name + " rows do not fill whole blocks";
        if (!in.skip(tensor.dataBytes))
            return "tensor " + name + " data runs past the end of the file";
        tensor.seen = true;
        ++seen;
    }
    if (seen != expected.size())
        return std::to_string(expected.size() - seen) + " tensors missing";
    return {};
}

class FileBytes final : public ModelBytes
{
public:
    FileBytes(int fd, uint64_t size)
        : m_fd(fd)
        , m_size(size)
    {
    }

    uint64_t size() const override { return m_size; }

    bool read(uint64_t offset, char* destination, size_t count) const override
    {
        while (count > 0) {
            const ssize_t got = ::pread(m_fd, destination, count, off_t(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            destination += got;
            offset += uint64_t(got);
            count -= size_t(got);
        }
        return true;
    }

private:
    int m_fd;
    uint64_t m_size;
};

} // namespace

ElementStorage elementStorage(int32_t type)
{
    switch (type) {
    case 0: return {1, 4};      // F32
    case 1: return {1, 2};      // F16
    case 2: return {32, 18};    // Q4_0
    case 3: return {32, 20};    // Q4_1
    case 6: return {32, 22};    // Q5_0
    case 7: return {32, 24};    // Q5_1
    case 8: return {32, 34};    // Q8_0
    case 10: return {256, 84};  // Q2_K
    case 11: return {256, 110}; // Q3_K
    case 12: return {256, 144}; // Q4_K
    case 13: return {256, 176}; // Q5_K
    case 14: return {256, 210}; // Q6_K
    case 16: return {256, 66};  // IQ2_XXS
    case 17: return {256, 74};  // IQ2_XS
    case 18: return {256, 98};  // IQ3_XXS
    case 19: return {256, 50};  // IQ1_S
    case 20: return {32, 18};   // IQ4_NL
    case 21: return {256, 110}; // IQ3_S
    case 22: return {256, 82};  // IQ2_S
    case 23: return {256, 136}; // IQ4_XS
    case 29: return {256, 56};  // IQ1_M
    case 30: return {1, 2};     // BF16
    case 39: return {32, 17};   // MXFP4
    case 40: return {64, 36};   // NVFP4
    case 41: return {128, 18};  // Q1_0
    default: return {};
    }
}

int32_t weightTypeForFtype(int32_t ftype)
{
    if (ftype < 0 || ftype / kQuantisationVersionFactor > kLatestQuantisationVersion)
        return -1;
    // ggml's file types, each "mostly" one element type.
    static constexpr std::array<int32_t, 28> kTypes{
        0, 1, 2, 3, -1, -1, -1, 8, 6, 7, 10, 11, 12, 13, 14, 16, 17, 18, 19, 20, 21, 22, 23, 29, 30, 39, 40, 41};
    const int32_t base = ftype % kQuantisationVersionFactor;
    return size_t(base) < kTypes.size() ? kTypes[size_t(base)] : -1;
}

std::string modelLayoutProblem(const ModelBytes& bytes)
{
    Cursor in(bytes);
    uint32_t magic = 0;
    if (!in.value(magic) || magic != kMagic)
        return "not a whisper.cpp model (bad magic)";
    Hparams h{};
    for (int32_t* field : {&h.vocab, &h.audioCtx, &h.audioState, &h.audioHead, &h.audioLayer, &h.textCtx,
                           &h.textState, &h.textHead, &h.textLayer, &h.mels, &h.ftype}) {
        if (!in.value(*field))
            return "file ends in the hyper-parameters";
    }
    if (std::string problem = hparamsProblem(h); !problem.empty())
        return problem;
    // A cut file, the usual damage, is refused here without reading on.
    if (const uint64_t least = leastFileSize(h); bytes.size() < least)
        return "file has " + std::to_string(bytes.size()) + " bytes, its layout needs at least " + std::to_string(least);
    if (std::string problem = melFiltersProblem(in, h); !problem.empty())
        return problem;
    if (std::string problem = vocabularyProblem(in, h); !problem.empty())
        return problem;
    TensorTable tensors = expectedTensors(h);
    return tensorsProblem(in, tensors);
}

std::string modelFileProblem(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot open: ") + std::strerror(errno);
    struct stat info {};
    std::string problem;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        problem = "not a regular file";
    else
        problem = modelLayoutProblem(FileBytes(fd, uint64_t(info.st_size)));
    ::close(fd);
    return problem;
}

} // namespace transcription
