// Application parameters: listener order, consumption and changes of the
// list while it is walked, number setters, binding chains, persistence
// through the host's hooks and its refusals, the sentinel and the change
// action.
#include "ParamTestHost.h"
#include "TAppParam.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <locale>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace vorel_sdl2;

namespace {

class TAppParamTest : public ::testing::Test {
protected:
    void SetUp() override { app.SetID("T1_3"); }

    TAppParam* Valued(const std::string& name, const std::string& domain, const std::string& value)
    {
        auto* p = new TAppParam(name, domain);
        p->SetValue(value);
        owned.emplace_back(p);
        return p;
    }

    ParamTestHost app;
    std::vector<std::unique_ptr<TAppParam>> owned;
};

TEST_F(TAppParamTest, ListenersRunByPriorityAndAConsumerStopsTheWalk)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    std::vector<std::string> heard;
    p->AddListener([&](TAppParam*, int) { heard.push_back("5a"); }, 5);
    const auto consumer = p->AddConsumingListener(
        [&](TAppParam*, int) {
            heard.push_back("10");
            return true;
        },
        10);
    p->AddListener([&](TAppParam*, int) { heard.push_back("5b"); }, 5);
    p->AddListener([&](TAppParam*, int) { heard.push_back("20"); }, 20);

    p->SetValue("b");
    EXPECT_EQ(heard, (std::vector<std::string>{"20", "10"}));

    heard.clear();
    p->TriggerListener(consumer, 1);
    EXPECT_EQ(heard, (std::vector<std::string>{"10"}));

    heard.clear();
    p->RemoveListener(consumer);
    p->RemoveListener(999); // unknown: ignored
    p->SetValue("c");
    EXPECT_EQ(heard, (std::vector<std::string>{"20", "5a", "5b"}));
    EXPECT_EQ(p->AddListener(TAppParam::ParamChangeListener()), 0u);
}

TEST_F(TAppParamTest, CopiedListenersNeverConsume)
{
    TAppParam* from = Valued("p", "T1_3", "a");
    TAppParam* to = Valued("p", "T2_1", "a");
    std::vector<std::string> heard;
    from->AddConsumingListener(
        [&](TAppParam* who, int) {
            heard.push_back(who->GetRawDomain() + " first");
            return true;
        },
        3);
    from->AddListener([&](TAppParam* who, int) { heard.push_back(who->GetRawDomain() + " second"); }, 1);
    to->AddListenersOf(*from);
    to->AddListenersOf(*to); // copying into itself terminates

    to->SetValue("b");
    EXPECT_EQ(heard, (std::vector<std::string>{"T2_1 first", "T2_1 first", "T2_1 second", "T2_1 second"}));
}

// Removals and additions from inside a listener: every listener still
// registered runs exactly once, those added meanwhile hear the next change.
TEST_F(TAppParamTest, ListenersMayChangeTheListWhileItIsWalked)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    std::vector<std::string> heard;
    std::uint32_t self = 0, later = 0, earlier = 0;
    earlier = p->AddListener([&](TAppParam*, int) { heard.push_back("earlier"); }, 9);
    self = p->AddListener(
        [&](TAppParam* who, int) {
            heard.push_back("self");
            who->RemoveListener(self);
            who->RemoveListener(later);
            who->RemoveListener(earlier);
            who->AddListener([&](TAppParam*, int) { heard.push_back("added"); }, 100);
        },
        8);
    later = p->AddListener([&](TAppParam*, int) { heard.push_back("later"); }, 7);
    p->AddListener([&](TAppParam*, int) { heard.push_back("last"); }, 6);

    p->SetValue("b");
    EXPECT_EQ(heard, (std::vector<std::string>{"earlier", "self", "last"}));
    heard.clear();
    p->SetValue("c");
    EXPECT_EQ(heard, (std::vector<std::string>{"added", "last"}));
}

TEST_F(TAppParamTest, AThrowingListenerIsReportedAndTheOthersRun)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    int after = 0;
    p->AddListener([](TAppParam*, int) { throw 42; }, 2);
    p->AddListener([&](TAppParam*, int) { ++after; }, 1);
    testing::internal::CaptureStdout();
    p->SetValue("b");
    EXPECT_EQ(CapturedStdout(), "TAppParam:TriggerListener:Listener unhandled exception\n");
    EXPECT_EQ(after, 1);
}

TEST_F(TAppParamTest, NumbersAreWrittenInTheCLocale)
{
    // A grouping global locale must not leak into stored values.
    struct Grouped : std::numpunct<char> {
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
        char do_decimal_point() const override { return ','; }
    };
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Grouped));

    struct Case {
        std::function<void(TAppParam&)> set;
        const char* expected;
    } cases[] = {
        {[](TAppParam& p) { p.SetValue(std::int64_t{-42}); }, "-42"},
        {[](TAppParam& p) { p.SetValue(1234567); }, "1234567"},
        {[](TAppParam& p) { p.SetValue(3.14159265); }, "3.14159"},
        {[](TAppParam& p) { p.SetValue(2.5); }, "2.5"},
        {[](TAppParam& p) { p.SetValue(1234567.0); }, "1.23457e+06"},
        {[](TAppParam& p) { p.SetValue(0.1); }, "0.1"},
    };
    for (const Case& c : cases) {
        TAppParam p("n", "T1_3");
        c.set(p);
        EXPECT_EQ(p.Value(), c.expected);
    }
    std::locale::global(previous);
}

TEST_F(TAppParamTest, SettingTheCurrentValueNeitherAnnouncesNorWaitsForTheMutex)
{
    TAppParam* p = Valued("p", "T1_3", "same");
    int calls = 0;
    p->AddListener([&](TAppParam*, int) { ++calls; });

    std::promise<void> locked, release;
    std::thread holder([&] {
        p->Lock();
        locked.set_value();
        release.get_future().wait();
        p->Unlock();
    });
    locked.get_future().wait();
    auto done = std::async(std::launch::async, [&] { p->SetValue("same"); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    release.set_value();
    holder.join();
    done.wait();
    EXPECT_EQ(calls, 0);
}

TEST_F(TAppParamTest, BindingChainsShareOnePayloadAndReportTheirSource)
{
    TAppParam* global = Valued("p", "GLOBAL", "g");
    TAppParam group("p", "T1");
    TAppParam mine("p", "T1_3");
    group.Bind(global);
    mine.Bind(&group);

    EXPECT_TRUE(mine.IsBound());
    EXPECT_EQ(mine.Value(), "g");
    EXPECT_EQ(mine.GetSourceRawDomain(), "GLOBAL");
    EXPECT_EQ(mine.GetSourceDomain("T1_3"), PARAM_GLOBAL);
    EXPECT_EQ(group.GetSourceDomain("T1_3"), PARAM_GLOBAL);
    EXPECT_EQ(global->GetSourceDomain("T1_3"), PARAM_GLOBAL);

    int heardOnGlobal = 0;
    global->AddListener([&](TAppParam*, int bits) { heardOnGlobal |= bits; });
    mine.SetValue("m");
    EXPECT_EQ(global->Value(), "m");
    EXPECT_EQ(heardOnGlobal, ParamChangeListener::VALUE);

    // A binding that would close a circle is refused.
    global->Bind(&mine);
    EXPECT_FALSE(global->IsBound());

    mine.Unbind();
    EXPECT_TRUE(mine.IsNull());
    EXPECT_FALSE(mine.IsBound());
    EXPECT_EQ(group.Value(), "m");

    // Targets without a value are ignored.
    TAppParam empty("p", "T9");
    group.Bind(&empty);
    group.Bind(nullptr);
    group.Bind(pVoidParam);
    EXPECT_EQ(group.Value(), "m");
    EXPECT_EQ(group.GetSourceRawDomain(), "GLOBAL");
}

TEST_F(TAppParamTest, SaveRefusesReadOnlyFirstThenNull)
{
    auto message = [](TAppParam& p) -> std::string {
        try {
            p.Save(0);
        } catch (const char* text) {
            return text;
        }
        return "";
    };
    EXPECT_EQ(message(*pVoidParam), "Cannot save null parameter!");
    TAppParam null("p", "T1_3");
    EXPECT_EQ(message(null), "Cannot save null parameter!");
    null.SetReadOnly(true);
    EXPECT_EQ(message(null), "Parameter is read only!");
    TAppParam* valued = Valued("p", "T1_3", "v");
    valued->SetReadOnly(true);
    EXPECT_EQ(message(*valued), "Parameter is read only!");
    EXPECT_TRUE(app.stored.empty());
}

TEST_F(TAppParamTest, SaveStoresAndMakesTheValueTheOldOne)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    p->SetValue("b");
    ASSERT_TRUE(p->Modified());
    int bits = 0;
    p->AddListener([&](TAppParam*, int b) { bits |= b; });
    p->Save(7);
    EXPECT_EQ(app.stored, (std::vector<std::string>{"p@T1_3=b"}));
    EXPECT_EQ(p->OldValue(), "b");
    EXPECT_EQ(bits, ParamChangeListener::OLD_VALUE);
}

TEST_F(TAppParamTest, UpdateLoadsTheHostsAnswerAndAnnouncesOnce)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    std::vector<int> heard;
    p->AddListener([&](TAppParam*, int bits) { heard.push_back(bits); });

    app.Know("T1_3", "p", "b", "Caption");
    p->Update();
    EXPECT_EQ(p->Value(), "b");
    EXPECT_EQ(p->OldValue(), "b");
    EXPECT_EQ(heard, (std::vector<int>{ParamChangeListener::VALUE | ParamChangeListener::CAPTION |
                                       ParamChangeListener::OLD_VALUE}));

    // The same answer again: the listeners still learn of the update.
    heard.clear();
    p->Update();
    EXPECT_EQ(heard, (std::vector<int>{0}));
    EXPECT_EQ(app.Requests(), (std::vector<std::string>{"T1_3/p", "T1_3/p"}));

    app.throwOnRequest = true;
    EXPECT_THROW(p->Update(), std::runtime_error);
}

// An update the host has no answer for keeps the value in use: a terminal
// whose store lost a value must not run on none. Logged once until an answer
// comes again.
TEST_F(TAppParamTest, UpdateWithoutAnAnswerKeepsTheValueAndLogsOnce)
{
    LogCapture log{VOREL_TEST_BINARY_DIR "/test_TAppParam.log"};
    const std::string line = "PARAMS ERROR: No value for parameter 'p' of 'T1_3' on update, keeping 'a'\n";
    TAppParam* p = Valued("p", "T1_3", "a");
    std::vector<int> heard;
    p->AddListener([&](TAppParam*, int bits) { heard.push_back(bits); });

    p->Update();
    p->Update();
    EXPECT_FALSE(p->IsNull());
    EXPECT_EQ(p->Value(), "a");
    EXPECT_EQ(heard, std::vector<int>{});
    EXPECT_EQ(log.Count(line), 1);

    app.Know("T1_3", "p", "a");
    p->Update();
    EXPECT_EQ(heard, std::vector<int>{0});
    app.known.clear();
    p->Update();
    EXPECT_EQ(p->Value(), "a");
    EXPECT_EQ(log.Count(line), 2);
}

TEST_F(TAppParamTest, LoadSharesAForeignPayloadAndCopiesAnOwnOne)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    Parameter own("T1_3");
    own.SetValue("b");
    p->Load(own);
    own.SetValue("c");
    EXPECT_EQ(p->Value(), "b"); // copied

    Parameter global("GLOBAL");
    global.SetValue("g");
    p->Load(global);
    global.SetValue("h");
    EXPECT_EQ(p->Value(), "h"); // shared
}

TEST_F(TAppParamTest, DeleteAsksTheHostAndLeavesTheObjectNull)
{
    TAppParam* p = Valued("p", "T1_3", "a");
    p->Delete();
    EXPECT_EQ(app.deleted, (std::vector<std::string>{"p@T1_3=a"})); // seen before it goes
    EXPECT_TRUE(p->IsNull());
}

TEST_F(TAppParamTest, TheSentinelStaysNullWhateverIsSetOnIt)
{
    EXPECT_EQ(pVoidParam->Name(), "NULL");
    EXPECT_EQ(pVoidParam->GetRawDomain(), "");
    pVoidParam->SetValue("x");
    EXPECT_EQ(pVoidParam->Value(), "x");
    EXPECT_TRUE(pVoidParam->IsNull());
    TAppParam p("p", "T1_3");
    p.Bind(pVoidParam);
    EXPECT_FALSE(p.IsBound());
    EXPECT_TRUE(p.IsNull());
}

// Records the data of every generated action of one name.
class ActionProbe : public TActionHandler {
public:
    ActionProbe() : TActionHandler(nullptr, ahtExecuteEndless) {}
    void execute(std::string name, void* data) override { seen.push_back(data); }
    std::vector<void*> seen;
};

TEST_F(TAppParamTest, ValueChangesGenerateTheChangeActionWhenAskedTo)
{
    auto* probe = new ActionProbe;
    app.AddActionListener("DBParameterChanged", probe, ACTION_NORMAL);
    TAppParam* p = Valued("p", "T1_3", "a");
    auto run = [&] {
        app.ProcessActions();
        app.ExecuteActions(ACTION_NORMAL);
    };

    p->SetValue("b");
    run();
    EXPECT_TRUE(probe->seen.empty());

    p->SetParamChangedAction(true);
    p->SetCaption("no value change");
    run();
    EXPECT_TRUE(probe->seen.empty());
    p->SetValue("c");
    run();
    EXPECT_EQ(probe->seen, (std::vector<void*>{p}));
}

TEST_F(TAppParamTest, AddressesOfDomains)
{
    struct Case {
        int domain;
        const char* id;
        const char* expected;
    } cases[] = {
        {PARAM_CACHE, "T1_3", "T1_3"}, {PARAM_MINE, "T1_3", "T1_3"}, {PARAM_OTHER, "T2_7", "T2_7"},
        {PARAM_GLOBAL, "T1_3", "GLOBAL"}, {PARAM_GROUP, "T2_7", "T2"}, {PARAM_GROUP, "T5", "T1"},
        {3, "T1_3", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TAppParam::GetAddressOf(c.domain, c.id), c.expected) << c.domain << " " << c.id;
    EXPECT_EQ(TAppParam("p", PARAM_GROUP).GetRawDomain(), "T1");
}

} // namespace
