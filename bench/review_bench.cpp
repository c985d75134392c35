// The review of a large .reg import against reading it: a 20 MB file (UTF-16, keys with a few
// values each, as an exported subtree is) read into a change set, and read then put in words
// (grouped by the pages that own values, a few hundred of them) and made into the review's list
// with its first screen of rows drawn.
//
//   build/bench/review_bench

#include <benchmark/benchmark.h>

#include <string>

#include "app/changes.h"
#include "app/session/review.h"
#include "registry/regfile/dotreg.h"
#include "registry/text.h"

namespace {

const std::string& file() {
    static const std::string bytes = [] {
        qv::reg::ChangeSet cs;
        for (int k = 0; cs.ops.size() < 300000; ++k) {
            const std::u16string key = u"Software\\Vendor" + qv::reg::utf8ToUtf16(std::to_string(k % 97)) + u"\\App\\Key" +
                                       qv::reg::utf8ToUtf16(std::to_string(k));
            cs.ops.push_back(qv::reg::keyOp(qv::reg::ChangeOp::Kind::CreateKey, qv::reg::HKEY_CURRENT_USER, key));
            for (int v = 0; v < 4; ++v) {
                qv::reg::ChangeOp op;
                op.root = qv::reg::HKEY_CURRENT_USER;
                op.key = key;
                op.name = u"Value" + qv::reg::utf8ToUtf16(std::to_string(v));
                op.type = qv::reg::REG_SZ;
                op.data = qv::reg::utf16ToBytes(u"some text of a setting " + qv::reg::utf8ToUtf16(std::to_string(k * 4 + v)) + u'\0');
                cs.ops.push_back(op);
            }
        }
        return qv::reg::writeRegFile(cs, qv::reg::RegFormat::Unicode);
    }();
    return bytes;
}

void rate(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(file().size()) * state.iterations());
    state.counters["file_MB"] = static_cast<double>(file().size()) / (1024.0 * 1024.0);
}

void BM_ReadImport(benchmark::State& state) {
    for (auto _ : state) {
        std::string error;
        auto cs = qv::reg::readRegFile(file(), "import.reg", &error);
        if (!cs) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(cs);
    }
    rate(state);
}

// As many owned values as the pages manage, one of them in the file.
const qv::ValueOwners& owners() {
    static const qv::ValueOwners o = [] {
        qv::ValueOwners m;
        for (int i = 0; i < 300; ++i)
            m[qv::valueOwnerKey(qv::reg::HKEY_CURRENT_USER, u"Control Panel\\Desktop", qv::reg::utf8ToUtf16("Setting" + std::to_string(i)))] = 1 + i % 33;
        m[qv::valueOwnerKey(qv::reg::HKEY_CURRENT_USER, u"Software\\Vendor1\\App\\Key1", u"Value0")] = 26;
        return m;
    }();
    return o;
}

void BM_ReviewImport(benchmark::State& state) {
    for (auto _ : state) {
        std::string error;
        auto cs = qv::reg::readRegFile(file(), "import.reg", &error);
        if (!cs) state.SkipWithError(error.c_str());
        qv::Wording words = qv::wordChanges(*cs, owners());
        qv::ReviewModel model(std::move(*cs), std::move(words));
        // The first screen: every group's head and the first rows under each.
        for (int g = 0; g < model.rowCount(); ++g) {
            const QModelIndex group = model.index(g, 0);
            for (int r = 0; r < 40 && r < model.rowCount(group); ++r)
                for (int c = 0; c < qv::ReviewModel::kColumns; ++c)
                    benchmark::DoNotOptimize(model.data(model.index(r, c, group)));
        }
    }
    rate(state);
}

BENCHMARK(BM_ReadImport)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReviewImport)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
