#pragma once

// Checks a whisper.cpp model file (the legacy "ggml" layout) before the library loads
// it. whisper.cpp trusts every length, count and size in the file: a damaged file makes
// it throw, assert or read out of bounds, or load as an empty model that never hears
// anything. The check walks the whole layout and refuses anything the library would
// mishandle, reading only headers and seeking over tensor data.

#include <cstddef>
#include <cstdint>
#include <string>

namespace transcription {

// Random access to the bytes of a model file.
class ModelBytes
{
public:
    virtual ~ModelBytes();
    virtual uint64_t size() const = 0;
    // Copies `count` bytes from `offset`; false if they cannot all be read.
    virtual bool read(uint64_t offset, char* destination, size_t count) const = 0;
    // The whole content, when it is in memory already; null otherwise.
    virtual const char* contiguous() const { return nullptr; }
};

// What is wrong with the model in `bytes`, or an empty string if whisper.cpp 1.9.1
// can load it safely: magic, hyper-parameters, mel filters, every vocabulary entry,
// and every tensor header with its data inside the file, each tensor exactly once.
std::string modelLayoutProblem(const ModelBytes& bytes);

// The same for the file at `path` (UTF-8), which must be a readable regular file.
std::string modelFileProblem(const char* path);

// The storage of one ggml element type: elements per block and bytes per block.
struct ElementStorage
{
    int blockElements = 0;
    int blockBytes = 0;
};

// The storage of ggml type `type`, for the types a model file may hold; blockElements
// is 0 for any other type.
ElementStorage elementStorage(int32_t type);

// The ggml type of the big weight matrices for a model's `ftype` field, or -1 if the
// library does not accept that value.
int32_t weightTypeForFtype(int32_t ftype);

} // namespace transcription
