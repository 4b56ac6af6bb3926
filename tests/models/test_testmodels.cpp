// The generated model files against the real whisper.cpp: other tests trust them to
// load, to transcribe, or to be refused.

#include "TestModels.h"

#include <QTemporaryDir>
#include <QTest>
#include <whisper.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Context = std::unique_ptr<whisper_context, decltype(&whisper_free)>;

Context load(const std::string& path)
{
    return Context(whisper_init_from_file_with_params(path.c_str(), whisper_context_default_params()), &whisper_free);
}

// The parameters the app transcribes with.
whisper_full_params appParams(const char* language = nullptr, bool noTimestamps = false, const char* prompt = nullptr)
{
    whisper_full_params p = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    p.n_threads = 4;
    p.translate = false;
    p.print_progress = p.print_special = p.print_realtime = p.print_timestamps = false;
    p.language = language;
    p.no_timestamps = noTimestamps;
    p.initial_prompt = prompt;
    return p;
}

// Returns the concatenated segment text, or "<rc N>" if whisper_full failed.
std::string transcribe(whisper_context* ctx, const whisper_full_params& params, const std::vector<float>& pcm)
{
    const int rc = whisper_full(ctx, params, pcm.data(), int(pcm.size()));
    if (rc != 0)
        return "<rc " + std::to_string(rc) + ">";
    std::string text;
    for (int i = 0; i < whisper_full_n_segments(ctx); ++i)
        text += whisper_full_get_segment_text(ctx, i);
    return text;
}

// Low-confidence tokens would make whisper_full fall back to sampling on some machines.
float leastTokenProbability(whisper_context* ctx)
{
    float least = 1.0f;
    for (int i = 0; i < whisper_full_n_segments(ctx); ++i)
        for (int j = 0; j < whisper_full_n_tokens(ctx, i); ++j)
            least = std::min(least, whisper_full_get_token_data(ctx, i, j).p);
    return least;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

const std::vector<float> kSilence(2 * 16000, 0.0f);

} // namespace

class TestModelsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::string file(const char* name) const { return dir.filePath(name).toStdString(); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        whisper_log_set([](ggml_log_level, const char*, void*) {}, nullptr);
    }

    void headerOnlyModelLoadsAsBaseEnAndRuns()
    {
        testmodels::writeHeaderOnlyBaseEn(file("header.bin"));
        const Context ctx = load(file("header.bin"));
        QVERIFY(ctx);
        QCOMPARE(whisper_model_type_readable(ctx.get()), "base");
        QVERIFY(!whisper_is_multilingual(ctx.get()));
        QCOMPARE(whisper_model_n_vocab(ctx.get()), 51864);
        QCOMPARE(whisper_model_n_audio_state(ctx.get()), 512);
        QCOMPARE(whisper_model_n_text_layer(ctx.get()), 6);
        QCOMPARE(whisper_model_n_mels(ctx.get()), 80);
        QCOMPARE(whisper_token_to_str(ctx.get(), whisper_token_eot(ctx.get())), "<|endoftext|>");

        // An empty model produces no segments, but must get through the whole pipeline.
        QCOMPARE(transcribe(ctx.get(), appParams(), kSilence), std::string());
    }

    void tinyModelTranscribes_data()
    {
        QTest::addColumn<QByteArray>("language");
        QTest::addColumn<bool>("noTimestamps");
        QTest::addColumn<QByteArray>("prompt");
        QTest::newRow("detected language") << QByteArray() << false << QByteArray();
        QTest::newRow("auto") << QByteArray("auto") << false << QByteArray();
        QTest::newRow("english") << QByteArray("en") << false << QByteArray();
        QTest::newRow("no timestamps") << QByteArray() << true << QByteArray();
        QTest::newRow("initial prompt") << QByteArray() << false << QByteArray("Grüße, Quenlo.");
    }

    void tinyModelTranscribes()
    {
        QFETCH(QByteArray, language);
        QFETCH(bool, noTimestamps);
        QFETCH(QByteArray, prompt);
        testmodels::writeTinyRandom(file("tiny.bin"));
        const Context ctx = load(file("tiny.bin"));
        QVERIFY(ctx);
        const auto orNull = [](const QByteArray& s) { return s.isNull() ? nullptr : s.constData(); };
        const whisper_full_params params = appParams(orNull(language), noTimestamps, orNull(prompt));

        QCOMPARE(transcribe(ctx.get(), params, kSilence), std::string(testmodels::kTinyRandomText));
        QCOMPARE(whisper_full_n_segments(ctx.get()), 1);
        QCOMPARE_GT(leastTokenProbability(ctx.get()), 0.9f);
        QCOMPARE(whisper_lang_str(whisper_full_lang_id(ctx.get())), "en");
        // A second run on the same context must not depend on the first one's state.
        QCOMPARE(transcribe(ctx.get(), params, kSilence), std::string(testmodels::kTinyRandomText));
    }

    // Windows after the first are decoded after the previous window's text.
    void tinyModelTranscribesEachWindowOfLongAudio()
    {
        testmodels::writeTinyRandom(file("tiny.bin"));
        const Context ctx = load(file("tiny.bin"));
        QVERIFY(ctx);
        std::vector<float> noise(45 * 16000);
        uint32_t x = 7;
        for (float& v : noise) {
            x = x * 1664525u + 1013904223u;
            v = float(x >> 8) / float(1 << 24) - 0.5f;
        }
        const std::string text = testmodels::kTinyRandomText;
        QCOMPARE(transcribe(ctx.get(), appParams(), noise), text + text);
    }

    void tinyModelFileDependsOnlyOnSeed()
    {
        testmodels::writeTinyRandom(file("a.bin"), 7);
        testmodels::writeTinyRandom(file("b.bin"), 7);
        testmodels::writeTinyRandom(file("c.bin"), 8);
        QVERIFY(readAll(file("a.bin")) == readAll(file("b.bin")));
        QVERIFY(readAll(file("a.bin")) != readAll(file("c.bin")));

        const Context ctx = load(file("c.bin"));
        QVERIFY(ctx);
        QCOMPARE(transcribe(ctx.get(), appParams(), kSilence), std::string(testmodels::kTinyRandomText));
    }

    // The blank models of every file type writeBlank() supports load in the library:
    // names, shapes, types and sizes are all the ones it expects.
    void blankModelsLoad_data()
    {
        QTest::addColumn<int>("ftype");
        for (int ftype : {0, 1, 2, 3, 7, 8, 9, 10, 12, 14, 24, 2008})
            QTest::addRow("ftype %d", ftype) << ftype;
    }

    void blankModelsLoad()
    {
        QFETCH(int, ftype);
        testmodels::writeBlank(file("blank.bin"), {256, 4, 1, ftype});
        const Context ctx = load(file("blank.bin"));
        QVERIFY(ctx);
        QCOMPARE(whisper_model_n_audio_state(ctx.get()), 256);
        QCOMPARE(whisper_model_ftype(ctx.get()), ftype % 1000);
    }

    void blankBaseEnLoads()
    {
        testmodels::writeBlank(file("base.bin"), testmodels::kBlankBaseEn);
        const Context ctx = load(file("base.bin"));
        QVERIFY(ctx);
        QCOMPARE(whisper_model_type_readable(ctx.get()), "base");
        QCOMPARE(whisper_model_n_vocab(ctx.get()), 51864);
        QCOMPARE(whisper_model_ftype(ctx.get()), 1);
        std::filesystem::remove(file("base.bin"));
    }

    // The library reads the mel bands and vocabulary from the file and places its
    // special tokens and languages by the vocabulary size.
    void blankLargeV3ShapeLoads()
    {
        testmodels::writeBlank(file("large.bin"), testmodels::kBlankLargeV3Shape);
        const Context ctx = load(file("large.bin"));
        QVERIFY(ctx);
        QCOMPARE(whisper_model_n_mels(ctx.get()), 128);
        QCOMPARE(whisper_n_vocab(ctx.get()), 51866);
        QCOMPARE(whisper_is_multilingual(ctx.get()), 1);
        QCOMPARE(whisper_token_eot(ctx.get()), 50257);
        QCOMPARE(whisper_token_to_str(ctx.get(), whisper_token_sot(ctx.get()) + 101), "[_TRANSLATE_]");
    }

    void brokenFilesAreRefused()
    {
        testmodels::writeBadMagic(file("bad-magic.bin"));
        QVERIFY(!load(file("bad-magic.bin")));
        testmodels::writeTruncated(file("truncated.bin"));
        QVERIFY(!load(file("truncated.bin")));
    }

    void unwritablePathThrows()
    {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 testmodels::writeHeaderOnlyBaseEn(file("missing-dir/model.bin")));
    }
};

QTEST_APPLESS_MAIN(TestModelsTest)
#include "test_testmodels.moc"
