// The model-file check on its own: generated models pass, every damaged copy of them
// is refused, and its storage table agrees with the ggml library.

#include "TestModels.h"

#include "transcription/ModelFileCheck.h"

#include <QTemporaryDir>
#include <QTest>

#include <ggml.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using transcription::modelLayoutProblem;

namespace {

class MemoryBytes final : public transcription::ModelBytes
{
public:
    explicit MemoryBytes(std::string_view bytes) : m_bytes(bytes) {}
    uint64_t size() const override { return m_bytes.size(); }
    bool read(uint64_t offset, char* destination, size_t count) const override
    {
        if (offset > m_bytes.size() || count > m_bytes.size() - offset)
            return false;
        std::memcpy(destination, m_bytes.data() + offset, count);
        return true;
    }
    const char* contiguous() const override { return m_bytes.data(); }

private:
    std::string_view m_bytes;
};

// The same bytes read the way a file is: in pieces, through read() only.
class PieceBytes final : public transcription::ModelBytes
{
public:
    explicit PieceBytes(std::string_view bytes) : m_memory(bytes) {}
    uint64_t size() const override { return m_memory.size(); }
    bool read(uint64_t offset, char* destination, size_t count) const override
    {
        return m_memory.read(offset, destination, count);
    }

private:
    MemoryBytes m_memory;
};

std::string problem(std::string_view bytes)
{
    return modelLayoutProblem(MemoryBytes(bytes));
}

std::string readAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int32_t i32At(const std::string& bytes, size_t offset)
{
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

std::string withI32(std::string bytes, size_t offset, int32_t value)
{
    std::memcpy(bytes.data() + offset, &value, 4);
    return bytes;
}

// Where the parts of a generated model lie. The layout is the one TestModels writes:
// 12 header fields, the mel filter shape and values, the vocabulary, then tensors.
struct Layout
{
    static constexpr size_t kHparams = 4, kMelShape = 48, kMelValues = 56;
    size_t vocabulary = 0; // the count field
    size_t spaceToken = 0; // the length field of " "
    size_t tensors = 0;    // the first tensor record
    struct Tensor { size_t start, dims, name, data, end; };
    std::vector<Tensor> records;
};

Layout layoutOf(const std::string& bytes)
{
    Layout l;
    l.vocabulary = Layout::kMelValues + size_t(i32At(bytes, 48)) * size_t(i32At(bytes, 52)) * 4;
    size_t at = l.vocabulary + 4;
    for (int32_t i = 0, n = i32At(bytes, l.vocabulary); i < n; ++i) {
        const auto length = uint32_t(i32At(bytes, at));
        if (length == 1 && bytes[at + 4] == ' ')
            l.spaceToken = at;
        at += 4 + length;
    }
    l.tensors = at;
    while (at < bytes.size()) {
        Layout::Tensor t{};
        t.start = at;
        const int32_t dims = i32At(bytes, at), nameLength = i32At(bytes, at + 4), type = i32At(bytes, at + 8);
        t.dims = at + 12;
        int64_t elements = 1;
        for (int32_t i = 0; i < dims; ++i)
            elements *= i32At(bytes, t.dims + 4 * size_t(i));
        t.name = t.dims + 4 * size_t(dims);
        t.data = t.name + size_t(nameLength);
        t.end = t.data + size_t(elements) * (type == 0 ? 4 : 2); // the generated ones are F32 or F16
        l.records.push_back(t);
        at = t.end;
    }
    return l;
}

} // namespace

class TestModelFileCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::string m_tiny;
    Layout m_layout;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const std::filesystem::path tiny = m_dir.filePath("tiny.bin").toStdString();
        testmodels::writeTinyRandom(tiny);
        m_tiny = readAll(tiny);
        m_layout = layoutOf(m_tiny);
        QCOMPARE(m_layout.records.back().end, m_tiny.size());
        QVERIFY(m_layout.spaceToken > 0);
    }

    void soundModelsPass()
    {
        QCOMPARE(problem(m_tiny), std::string());
        QCOMPARE(modelLayoutProblem(PieceBytes(m_tiny)), std::string());
        QCOMPARE(transcription::modelFileProblem(m_dir.filePath("tiny.bin").toUtf8().constData()), std::string());

        // The records in another order are the same model.
        std::string reordered = m_tiny.substr(0, m_layout.tensors);
        for (auto it = m_layout.records.rbegin(); it != m_layout.records.rend(); ++it)
            reordered += m_tiny.substr(it->start, it->end - it->start);
        QCOMPARE(problem(reordered), std::string());
    }

    // Every file type the library reads, at a width the block sizes divide.
    void blankModelsOfEveryTypePass_data()
    {
        QTest::addColumn<int>("ftype");
        for (int ftype : {0, 1, 2, 3, 7, 8, 9, 10, 12, 14, 24, 1002, 2008})
            QTest::addRow("ftype %d", ftype) << ftype;
    }

    void blankModelsOfEveryTypePass()
    {
        QFETCH(int, ftype);
        const std::filesystem::path path = m_dir.filePath("blank.bin").toStdString();
        testmodels::writeBlank(path, {256, 4, 1, ftype});
        QCOMPARE(transcription::modelFileProblem(path.c_str()), std::string());
    }

    // The vocabularies and mel band counts of the released models.
    void blankModelsOfEveryVocabularyPass_data()
    {
        QTest::addColumn<int>("mels");
        QTest::addColumn<int>("vocab");
        QTest::addRow("English-only") << 80 << 51864;
        QTest::addRow("multilingual") << 80 << 51865;
        QTest::addRow("large-v3") << 128 << 51866;
    }

    void blankModelsOfEveryVocabularyPass()
    {
        QFETCH(int, mels);
        QFETCH(int, vocab);
        const std::filesystem::path path = m_dir.filePath("blank.bin").toStdString();
        testmodels::writeBlank(path, {256, 4, 1, 1, mels, vocab});
        QCOMPARE(transcription::modelFileProblem(path.c_str()), std::string());
    }

    // The size and types of ggml-base.en.bin, read from disk as the app reads it.
    void blankBaseEnPasses()
    {
        const std::filesystem::path path = m_dir.filePath("base.bin").toStdString();
        testmodels::writeBlank(path, testmodels::kBlankBaseEn);
        QVERIFY(std::filesystem::file_size(path) > 140'000'000);
        QCOMPARE(transcription::modelFileProblem(path.c_str()), std::string());
        std::filesystem::remove(path);
    }

    void unreadableFilesAreRefused()
    {
        QVERIFY(!transcription::modelFileProblem(m_dir.filePath("missing.bin").toUtf8().constData()).empty());
        QVERIFY(!transcription::modelFileProblem(m_dir.path().toUtf8().constData()).empty());
    }

    // Every cut up to the first tensor: the end of the vocabulary included, which the
    // library would load as an empty model.
    void everyCutThroughHeaderMelFiltersAndVocabularyIsRefused()
    {
        for (size_t cut = 0; cut <= m_layout.tensors; ++cut) {
            if (problem(std::string_view(m_tiny).substr(0, cut)).empty())
                QFAIL(qPrintable(QStringLiteral("a cut at byte %1 passes").arg(cut)));
        }
        QVERIFY(problem(std::string_view(m_tiny).substr(0, m_layout.tensors)).starts_with("file has "));
    }

    void cutsThroughTheTensorsAreRefused()
    {
        std::vector<size_t> cuts;
        for (size_t cut = m_layout.tensors; cut < m_tiny.size(); cut += 997)
            cuts.push_back(cut);
        // Every byte of the first and last records and of the last record's header.
        for (const Layout::Tensor& t : {m_layout.records.front(), m_layout.records.back()}) {
            for (size_t cut = t.start; cut < std::min(t.end, t.data + 64); ++cut)
                cuts.push_back(cut);
        }
        for (size_t cut = m_tiny.size() - 64; cut < m_tiny.size(); ++cut)
            cuts.push_back(cut);
        for (size_t cut : cuts) {
            if (problem(std::string_view(m_tiny).substr(0, cut)).empty())
                QFAIL(qPrintable(QStringLiteral("a cut at byte %1 passes").arg(cut)));
            if (modelLayoutProblem(PieceBytes(std::string_view(m_tiny).substr(0, cut))).empty())
                QFAIL(qPrintable(QStringLiteral("a cut at byte %1 passes when read in pieces").arg(cut)));
        }
    }

    void flippedHeaderFieldsAreRefused_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value");
        const auto field = [](int index) { return int(Layout::kHparams) + 4 * index; };
        const int32_t big = std::numeric_limits<int32_t>::max(), least = std::numeric_limits<int32_t>::min();
        QTest::newRow("magic") << 0 << 0x46554747;
        for (int v : {0, -1, 51863, 51867, big, least})
            QTest::addRow("n_vocab %d", v) << field(0) << v;
        for (int v : {0, -1, 1499, 1501, big})
            QTest::addRow("n_audio_ctx %d", v) << field(1) << v;
        for (int v : {0, -32, 33, 64, big, least})
            QTest::addRow("n_audio_state %d", v) << field(2) << v;
        for (int v : {0, -2, 3, 64})
            QTest::addRow("n_audio_head %d", v) << field(3) << v;
        for (int v : {0, -1, 2, 65, big})
            QTest::addRow("n_audio_layer %d", v) << field(4) << v;
        for (int v : {0, 447, 449, big})
            QTest::addRow("n_text_ctx %d", v) << field(5) << v;
        for (int v : {0, 16, 64})
            QTest::addRow("n_text_state %d", v) << field(6) << v;
        for (int v : {0, 5, 33})
            QTest::addRow("n_text_head %d", v) << field(7) << v;
        for (int v : {0, 2, 1000})
            QTest::addRow("n_text_layer %d", v) << field(8) << v;
        for (int v : {0, 79, 128, big})
            QTest::addRow("n_mels %d", v) << field(9) << v;
        // 0 (F32) is a valid type, but not for these F16 bytes.
        for (int v : {-1, 0, 4, 5, 6, 28, 3001, big})
            QTest::addRow("ftype %d", v) << field(10) << v;
        for (int v : {0, 79, 128, -80})
            QTest::addRow("mel bands %d", v) << int(Layout::kMelShape) << v;
        for (int v : {0, 200, 202, -201})
            QTest::addRow("mel bins %d", v) << int(Layout::kMelShape) + 4 << v;
        QTest::newRow("mel value NaN") << int(Layout::kMelValues) + 40 << 0x7fc00000;
        QTest::newRow("mel value infinite") << int(Layout::kMelValues) + 40 << 0x7f800000;
        QTest::newRow("mel value negative") << int(Layout::kMelValues) + 40 << int(0xbf800000);
    }

    void flippedHeaderFieldsAreRefused()
    {
        QFETCH(int, offset);
        QFETCH(int, value);
        QVERIFY(!problem(withI32(m_tiny, size_t(offset), value)).empty());
    }

    void flippedVocabularyIsRefused_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value");
        const int count = int(m_layout.vocabulary);
        const int stored = i32At(m_tiny, m_layout.vocabulary);
        for (int v : {0, -1, stored - 1, stored + 1, 51865, std::numeric_limits<int32_t>::max()})
            QTest::addRow("count %d", v) << count << v;
        const int first = count + 4, space = int(m_layout.spaceToken), last = int(m_layout.tensors) - 17;
        QCOMPARE(std::string(m_tiny, size_t(last) + 4, 13), std::string("<|endoftext|>"));
        for (int at : {first, space, last}) {
            for (int v : {0, 2, -1, 1 << 30, std::numeric_limits<int32_t>::min()})
                QTest::addRow("entry length at %d: %d", at, v) << at << v;
        }
        // " " turned into "!": no blank token left.
        QTest::newRow("no blank token") << space + 4 << int(i32At(m_tiny, size_t(space) + 4) ^ (' ' ^ '!'));
    }

    void flippedVocabularyIsRefused()
    {
        QFETCH(int, offset);
        QFETCH(int, value);
        QVERIFY(!problem(withI32(m_tiny, size_t(offset), value)).empty());
    }

    void flippedTensorHeadersAreRefused_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value");
        const int32_t big = std::numeric_limits<int32_t>::max(), least = std::numeric_limits<int32_t>::min();
        // A 2-D F32 record, a 3-D F16 one, a 1-D F32 one and the last record.
        for (size_t index : {size_t(0), size_t(1), size_t(5), m_layout.records.size() - 1}) {
            const Layout::Tensor& t = m_layout.records[index];
            const int start = int(t.start), dims = int(t.dims);
            const int n = i32At(m_tiny, t.start), type = i32At(m_tiny, t.start + 8);
            const QByteArray name = QByteArray::fromStdString(m_tiny.substr(t.name, t.data - t.name));
            for (int v : {0, -1, n - 1, n + 1, 5, big})
                QTest::addRow("%s n_dims %d", name.constData(), v) << start << v;
            for (int v : {0, -1, int(t.data - t.name) - 1, int(t.data - t.name) + 1, 129, big, least})
                QTest::addRow("%s name length %d", name.constData(), v) << start + 4 << v;
            for (int v : {1 - type, 2, 4, 8, 42, -1, big})
                QTest::addRow("%s type %d", name.constData(), v) << start + 8 << v;
            for (int v : {0, -1, 2, i32At(m_tiny, t.dims) * 2, big, least})
                QTest::addRow("%s first dimension %d", name.constData(), v) << dims << v;
            QTest::addRow("%s renamed", name.constData()) << int(t.name) << int(i32At(m_tiny, t.name) ^ 0x20);
        }
    }

    void flippedTensorHeadersAreRefused()
    {
        QFETCH(int, offset);
        QFETCH(int, value);
        QVERIFY(!problem(withI32(m_tiny, size_t(offset), value)).empty());
    }

    void missingDuplicatedOrTrailingDataIsRefused()
    {
        const Layout::Tensor& first = m_layout.records.front();
        const Layout::Tensor& last = m_layout.records.back();
        const std::string firstRecord = m_tiny.substr(first.start, first.end - first.start);
        const std::string withoutFirst = m_tiny.substr(0, first.start) + m_tiny.substr(first.end);
        QCOMPARE(problem(withoutFirst), std::string("1 tensors missing"));
        QVERIFY(!problem(m_tiny + firstRecord).empty());
        // A duplicate in place of another tensor would leave that one unset.
        QVERIFY(!problem(m_tiny.substr(0, last.start) + firstRecord).empty());
        for (size_t extra : {1, 11, 12, 64})
            QVERIFY(!problem(m_tiny + std::string(extra, '\0')).empty());
    }

    // The storage table decides where every tensor ends; it must be the library's.
    void storageTableMatchesGgml()
    {
        int typesFromFtypes = 0;
        for (int32_t ftype = -2; ftype < 3100; ++ftype) {
            const int32_t type = transcription::weightTypeForFtype(ftype);
            if (type < 0)
                continue;
            QCOMPARE(type, int32_t(ggml_ftype_to_ggml_type(ggml_ftype(ftype % 1000))));
            ++typesFromFtypes;
        }
        QCOMPARE(typesFromFtypes, 3 * 25);
        for (int32_t type = -1; type <= GGML_TYPE_COUNT; ++type) {
            const transcription::ElementStorage storage = transcription::elementStorage(type);
            if (storage.blockElements == 0)
                continue;
            QCOMPARE(int64_t(storage.blockElements), ggml_blck_size(ggml_type(type)));
            QCOMPARE(size_t(storage.blockBytes), ggml_type_size(ggml_type(type)));
        }
        for (int32_t ftype = 0; ftype < 1000; ++ftype) {
            const int32_t type = transcription::weightTypeForFtype(ftype);
            QVERIFY(type < 0 || transcription::elementStorage(type).blockElements > 0);
        }
    }
};

QTEST_APPLESS_MAIN(TestModelFileCheck)
#include "tst_modelfilecheck.moc"
