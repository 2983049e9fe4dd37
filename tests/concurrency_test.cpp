// Concurrent calls: threads call CoInstallerE at once with different DIF codes,
// some of them running full post-processing passes for different devices, queues
// and profiles. Every result must be the protocol's, every trace message whole
// (exactly one of the texts a single-threaded run gives, none cut or mixed), and
// every profile must end with its own queue as its default.
#include "harness/harness.h"
#include "harness/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

namespace {

using harness::Narrow;

constexpr int kPassThreads = 3;  // one device, queue and profile each
constexpr int kPassesEach = 40;
constexpr int kCodeThreads = 5;  // every other DIF code, and the first DIF_INSTALLDEVICE call
constexpr int kCodeRounds = 20;  // each round: codes 0 to 45 but 2, and the pre-processing call

std::wstring Numbered(const wchar_t *stem, int index)
{
    return stem + std::to_wstring(index);
}

class Concurrency : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(harness::Veldrian(), nullptr);
        for (int index = 0; index < kPassThreads; ++index) {
            const std::wstring model = Numbered(L"Concurrent Model ", index);
            const std::wstring port = Numbered(L"USB09", index);
            const std::wstring id = Numbered(L"VELDRIAN\\CONCURRENT", index);
            devices_.push_back(
                std::make_unique<harness::ScopedDevice>(harness::PrinterInf({{model, id, port}}), id, true));
            ASSERT_TRUE(devices_.back()->ok()) << devices_.back()->failure();
            queues_.push_back(
                std::make_unique<harness::ScopedPrinter>(Numbered(L"Concurrent Queue ", index), model, port));
            ASSERT_TRUE(queues_.back()->ok()) << queues_.back()->error();
            // Each profile lists only its own queue: only that device's passes write it.
            const std::wstring entry = L"winspool," + port;
            profiles_.push_back(std::make_unique<harness::ScopedProfile>(
                Numbered(L"VELDRIAN-CONCURRENT-", index), queues_.back()->name(), entry.c_str()));
        }
    }

    DWORD Pass(int index)
    {
        return harness::CallEntry(DIF_INSTALLDEVICE, devices_[index]->set(), devices_[index]->data(), TRUE);
    }

    std::vector<std::unique_ptr<harness::ScopedDevice>> devices_;
    std::vector<std::unique_ptr<harness::ScopedPrinter>> queues_;
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles_;
};

TEST_F(Concurrency, ThreadsCallingAtOnceGetWholeResultsAndWholeMessages)
{
    harness::Interposer interposer;
    interposer.useGuardPages(true);

    // What one call of each kind traces, alone.
    std::map<std::wstring, long> expected;
    std::vector<std::vector<std::wstring>> passTraces;
    for (int index = 0; index < kPassThreads; ++index) {
        interposer.clearTraces();
        ASSERT_EQ(Pass(index), static_cast<DWORD>(NO_ERROR));
        passTraces.push_back(interposer.traces());
        ASSERT_TRUE(std::find(passTraces.back().begin(), passTraces.back().end(),
                              L"VELDRIAN : " + queues_[index]->name() + L",winspool," +
                                  Numbered(L"USB09", index) + L"\n") != passTraces.back().end())
            << "the pass does not find its queue alone";
        for (const std::wstring &line : passTraces.back()) {
            expected[line] += kPassesEach;
        }
        harness::DeleteValue(HKEY_USERS, profiles_[index]->windowsPath(), L"Device");
    }
    std::map<DWORD, std::wstring> codeTrace;
    for (DWORD code = 0; code <= 45; ++code) {
        if (code != DIF_INSTALLDEVICE) {
            interposer.clearTraces();
            harness::CallEntry(code);
            ASSERT_EQ(interposer.traces().size(), 1u);
            codeTrace[code] = interposer.traces()[0];
            expected[codeTrace[code]] += kCodeThreads * kCodeRounds;
        }
    }
    expected[L"VELDRIAN : DIF_INSTALLDEVICE\n"] += kCodeThreads * kCodeRounds;
    interposer.clearTraces();

    std::atomic<int> ready{0};
    std::atomic<int> wrongResults{0};
    std::atomic<long> callsMade{0};
    auto startTogether = [&]() {
        ++ready;
        while (ready.load() < kPassThreads + kCodeThreads) {
            std::this_thread::yield();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(kPassThreads);
    for (int index = 0; index < kPassThreads; ++index) {
        threads.emplace_back([&, index]() {
            startTogether();
            for (int pass = 0; pass < kPassesEach; ++pass) {
                wrongResults += Pass(index) == NO_ERROR ? 0 : 1;
                ++callsMade;
            }
        });
    }
    for (int thread = 0; thread < kCodeThreads; ++thread) {
        threads.emplace_back([&, thread]() {
            startTogether();
            for (int round = 0; round < kCodeRounds; ++round) {
                for (DWORD step = 0; step <= 45; ++step) {
                    // Each thread walks the codes from its own starting point.
                    const DWORD code = (step + static_cast<DWORD>(thread) * 9) % 46;
                    const DWORD want =
                        code == DIF_INSTALLDEVICE ? ERROR_DI_POSTPROCESSING_REQUIRED : NO_ERROR;
                    wrongResults += harness::CallEntry(code) == want ? 0 : 1;
                    ++callsMade;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    EXPECT_EQ(wrongResults.load(), 0);
    EXPECT_EQ(interposer.outstandingBlocks(), 0);
    EXPECT_EQ(interposer.openKeys(), 0);
    std::map<std::wstring, long> seen;
    long alien = 0;
    for (const std::wstring &line : interposer.traces()) {
        ++seen[line];
        if (!expected.contains(line) && ++alien <= 5) {
            ADD_FAILURE() << "a message no single call gives (cut or mixed?): \"" << Narrow(line) << "\"";
        }
    }
    EXPECT_EQ(alien, 0);
    for (const auto &[line, count] : expected) {
        EXPECT_EQ(seen[line], count) << "\"" << Narrow(line) << "\"";
    }
    for (int index = 0; index < kPassThreads; ++index) {
        EXPECT_EQ(harness::StringOf(profiles_[index]->device()),
                  queues_[index]->name() + L",winspool," + Numbered(L"USB09", index))
            << "each profile ends with its own queue";
    }
    long messages = 0;
    for (const auto &[line, count] : seen) {
        messages += count;
    }
    std::cout << "[ threads  ] " << kPassThreads + kCodeThreads << " threads, " << callsMade.load()
              << " calls (" << kPassThreads * kPassesEach << " post-processing passes), " << messages
              << " messages" << std::endl;
}

}  // namespace
