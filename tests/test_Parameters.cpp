#include "Parameters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A handle that records what its payload announces to it.
class Probe : public Parameter {
public:
    using Parameter::Parameter;
    using Parameter::Clear;
    Probe(const Probe& other) : Parameter(other) {}

    void OnValueChanged(int changeFlag) override
    {
        calls.push_back(changeFlag);
        if (hook)
            hook(changeFlag);
    }

    std::vector<int> calls;
    std::function<void(int)> hook;
};

struct RecordingListener : ParamChangeListener {
    void OnValueChanged(int changeFlag) override { calls.push_back(changeFlag); }
    std::vector<int> calls;
};

using Calls = std::vector<int>;

TEST(Parameter, NullHandleReadsEmptyAndIgnoresWrites)
{
    Probe p;
    EXPECT_TRUE(p.IsNull());
    EXPECT_EQ(&p.Value(), &Parameter::EmptyStr);
    EXPECT_EQ(&p.Limits(), &NoLimit);
    EXPECT_EQ(p.Restrictions(), 0);
    EXPECT_FALSE(p.Modified());
    EXPECT_TRUE(p.IsValueOK("anything"));

    p.SetCaption("c");
    p.SetDescription("d");
    p.SetRestrictions(RESTRICTION_ALL);
    p.SetLimits(">1");
    p.UpdateOldValue();
    p.Reset();
    EXPECT_TRUE(p.IsNull());
    EXPECT_TRUE(p.calls.empty());
}

TEST(Parameter, SetValueOnNullCreatesPayloadAndAnnouncesAllOnce)
{
    const int before = ParameterData::GetNumInstances();
    Probe p("GLOBAL");
    p.SetValue("7");
    EXPECT_FALSE(p.IsNull());
    EXPECT_EQ(p.Value(), "7");
    EXPECT_EQ(p.OldValue(), "7");
    EXPECT_EQ(p.calls, Calls({ParamChangeListener::ALL}));
    EXPECT_EQ(ParameterData::GetNumInstances(), before + 1);

    p.SetValue("7");
    EXPECT_EQ(p.calls.size(), 1u) << "the same value again announces nothing";

    p.SetValue("8");
    EXPECT_EQ(p.calls.back(), ParamChangeListener::VALUE);
    EXPECT_TRUE(p.Modified());
}

TEST(Parameter, SharedPayloadAnnouncesToEveryHandle)
{
    Probe a;
    a.SetValue("1");
    Probe b(a);
    // Joining the payload is announced to everyone on it; the newcomer is
    // still being constructed then, so its own override does not run.
    EXPECT_EQ(a.calls.back(), ParamChangeListener::ALL);
    EXPECT_TRUE(b.calls.empty());
    a.calls.clear();
    b.calls.clear();

    a.SetValue("2");
    EXPECT_EQ(a.calls, Calls({ParamChangeListener::VALUE}));
    EXPECT_EQ(b.calls, Calls({ParamChangeListener::VALUE}));
    EXPECT_EQ(b.Value(), "2");

    b.SetCaption("cap");
    EXPECT_EQ(a.calls.back(), ParamChangeListener::CAPTION);
    EXPECT_EQ(a.Caption(), "cap");
}

TEST(Parameter, EditsAnnounceTheUnionOnceAtTheOutermostEnd)
{
    Probe a;
    a.SetValue("1");
    Probe b(a);
    a.calls.clear();
    b.calls.clear();

    a.BeginEdit();
    a.BeginEdit();
    a.SetValue("2");
    b.SetCaption("c"); // another handle of the payload joins the same edit
    a.SetDescription("d");
    EXPECT_EQ(a.EndEdit(), 0);
    EXPECT_TRUE(a.calls.empty());
    EXPECT_TRUE(b.calls.empty());
    EXPECT_EQ(a.EndEdit(), 7);
    EXPECT_EQ(a.calls, Calls({7}));
    EXPECT_EQ(b.calls, Calls({7}));

    // A surplus EndEdit on the handle does nothing and leaves the depth at 0.
    EXPECT_EQ(a.EndEdit(), 0);
    EXPECT_EQ(a.calls.size(), 1u);
    a.SetValue("3");
    EXPECT_EQ(a.calls.back(), ParamChangeListener::VALUE);
}

TEST(ParameterData, EndEditWithoutOpenEditAnnouncesEverything)
{
    ParameterData d;
    RecordingListener l;
    d.AddListener(&l);
    EXPECT_EQ(d.EndEdit(), -1);
    EXPECT_EQ(l.calls, Calls({-1}));

    d.BeginEdit();
    d.Changed(ParamChangeListener::CAPTION);
    d.BeginEdit(); // starts over
    d.Changed(ParamChangeListener::VALUE);
    d.Changed(0);
    EXPECT_EQ(d.EndEdit(), ParamChangeListener::VALUE);
    EXPECT_EQ(l.calls, Calls({-1, ParamChangeListener::VALUE}));

    d.Changed(0);
    EXPECT_EQ(l.calls.size(), 2u);
    d.RemoveListener(&l);
}

TEST(ParameterData, DuplicateListenersAreKeptAndRemovedOneAtATime)
{
    ParameterData d;
    RecordingListener l;
    d.AddListener(&l);
    d.AddListener(&l);
    d.Changed(ParamChangeListener::VALUE);
    EXPECT_EQ(l.calls.size(), 2u);
    d.RemoveListener(&l);
    d.Changed(ParamChangeListener::VALUE);
    EXPECT_EQ(l.calls.size(), 3u);
    d.RemoveListener(&l);
    d.RemoveListener(&l);
    d.Changed(ParamChangeListener::VALUE);
    EXPECT_EQ(l.calls.size(), 3u);
}

// Handles of the payload that come and go while it is announcing.
TEST(ParameterData, ListenersMayAddAndRemoveHandlesDuringAnnouncement)
{
    auto first = std::make_unique<Probe>();
    first->SetValue("0");
    auto second = std::make_unique<Probe>(*first);
    auto third = std::make_unique<Probe>(*first);
    std::unique_ptr<Probe> added;
    first->calls.clear();
    second->calls.clear();
    third->calls.clear();

    first->hook = [&](int flag) {
        if (flag != ParamChangeListener::VALUE || added)
            return;
        third.reset();                          // not yet called: must not be
        added = std::make_unique<Probe>(*first); // announces ALL, nested
    };
    second->hook = [&](int flag) {
        if (flag == ParamChangeListener::VALUE)
            second->Clear(); // leaves the payload while being called
    };

    first->SetValue("1");

    ASSERT_FALSE(third);
    ASSERT_TRUE(added);
    EXPECT_TRUE(second->IsNull());
    // The nested announcement of the newcomer reaches it first.
    EXPECT_EQ(second->calls, Calls({ParamChangeListener::ALL, ParamChangeListener::VALUE}));
    EXPECT_EQ(first->calls, Calls({ParamChangeListener::VALUE, ParamChangeListener::ALL}));
    // The newcomer does not hear the announcement that was running when it
    // came (nor its own arrival, being under construction then).
    EXPECT_TRUE(added->calls.empty());

    first->hook = nullptr;
    first->calls.clear();
    added->calls.clear();
    first->SetValue("2");
    EXPECT_EQ(first->calls, Calls({ParamChangeListener::VALUE}));
    EXPECT_EQ(added->calls, Calls({ParamChangeListener::VALUE}));
}

TEST(ParameterData, ThrowingListenerIsReportedAndOthersStillRun)
{
    Probe a;
    a.SetValue("0");
    Probe b(a);
    a.calls.clear();
    b.calls.clear();
    a.hook = [](int) { throw std::runtime_error("host fault"); };

    CaptureStdout();
    a.SetValue("1");
    EXPECT_EQ(GetCapturedStdout(), "ParameterData:Changed:OnValueChanged unhandled exception\n");
    EXPECT_EQ(b.calls, Calls({ParamChangeListener::VALUE}));
    EXPECT_EQ(a.Value(), "1");
}

TEST(Parameter, ChangingPayloadDuringAnEditMovesTheEdit)
{
    Probe a;
    a.SetValue("1");
    Probe b;
    b.SetValue("2");
    a.calls.clear();
    b.calls.clear();

    a.BeginEdit();
    a.SetCaption("c");
    EXPECT_EQ(a.StealFrom(b), ParamChangeListener::VALUE | ParamChangeListener::CAPTION);
    // What the edit gathered on the old payload is announced there.
    EXPECT_EQ(a.calls, Calls({ParamChangeListener::CAPTION}));
    EXPECT_TRUE(b.calls.empty());

    a.SetDescription("d");
    EXPECT_EQ(a.EndEdit(), 7);
    EXPECT_EQ(b.calls, Calls({7}));
    EXPECT_EQ(a.calls, Calls({ParamChangeListener::CAPTION, 7}));
    EXPECT_EQ(b.Description(), "d");
}

TEST(Parameter, DestroyingAHandleInAnEditReleasesTheEdit)
{
    Probe a;
    a.SetValue("1");
    {
        Probe editing(a);
        a.calls.clear();
        editing.BeginEdit();
        editing.SetValue("2");
        EXPECT_TRUE(a.calls.empty());
    }
    EXPECT_EQ(a.calls, Calls({ParamChangeListener::VALUE}));
    a.SetValue("3");
    EXPECT_EQ(a.calls.back(), ParamChangeListener::VALUE) << "later changes are announced at once";
}

TEST(Parameter, DomainRelativeToClientId)
{
    struct Case {
        std::string domain;
        ParameterDomain expected;
    };
    const std::vector<Case> cases = {
        {"GLOBAL", PARAM_GLOBAL},
        {"T1_3", PARAM_MINE},
        {"", PARAM_CACHE},
        {"T1", PARAM_GROUP},
        {"T2_7", PARAM_OTHER},
        {"global", PARAM_GROUP},
    };
    for (const Case& c : cases) {
        Parameter p(c.domain);
        EXPECT_EQ(p.Domain("T1_3"), c.expected) << "domain <" << c.domain << ">";
        EXPECT_EQ(p.GetRawDomain(), c.domain);
    }
    EXPECT_EQ(Parameter::GlobalParameterDomain, "GLOBAL");
}

TEST(Parameter, Conversions)
{
    struct Case {
        std::string value;
        std::int64_t asInteger; // AsInteger(5)
        double asFloat;         // AsFloat(1.5)
        bool isInteger;
        bool isDouble;
    };
    const std::int64_t max64 = std::numeric_limits<std::int64_t>::max();
    const std::vector<Case> cases = {
        {"", 5, 1.5, true, true},
        {"x", 0, 1.5, false, false},
        {"42", 42, 42.0, true, true},
        {"-42", -42, -42.0, true, true},
        {" 7", 7, 7.0, true, true},
        {"7 ", 7, 7.0, false, false},
        {"12abc", 12, 12.0, false, false},
        {"0.1", 0, static_cast<double>(0.1f), false, true},
        {"1e3", 1, 1000.0, false, true},
        {"1e50", 1, 1.5, false, true},
        {"99999999999999999999", max64, static_cast<double>(1e20f), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("value <" + c.value + ">");
        Parameter p;
        p.SetValue(c.value);
        EXPECT_EQ(p.AsInteger(5), c.asInteger);
        EXPECT_EQ(p.AsFloat(1.5), c.asFloat);
        EXPECT_EQ(p.IsInteger(), c.isInteger);
        EXPECT_EQ(p.IsDouble(), c.isDouble);
        EXPECT_EQ(p.AsString(), c.value);
    }
}

TEST(Parameter, LimitsVetoValuesSilently)
{
    Probe p;
    p.SetValue("5");
    p.SetLimits(">=1|<=10");
    p.calls.clear();
    EXPECT_EQ(p.Limits().OriginalString(), ">=1|<=10");
    EXPECT_TRUE(p.calls.empty()) << "limits are not announced";

    p.SetValue("11");
    EXPECT_EQ(p.Value(), "5");
    EXPECT_TRUE(p.calls.empty());
    EXPECT_FALSE(p.IsValueOK("0"));
    p.SetValue("10");
    EXPECT_EQ(p.Value(), "10");
}

TEST(Parameter, OldValueAndReset)
{
    Probe p;
    p.SetValue("1");
    p.SetValue("2");
    p.calls.clear();
    p.UpdateOldValue();
    EXPECT_EQ(p.calls, Calls({ParamChangeListener::OLD_VALUE}));
    EXPECT_FALSE(p.Modified());
    p.UpdateOldValue();
    EXPECT_EQ(p.calls.size(), 1u);

    p.SetValue("3");
    p.Reset();
    EXPECT_EQ(p.Value(), "2");
    EXPECT_EQ(p.calls.back(), ParamChangeListener::VALUE);

    // Reset goes through the limits like any other value.
    p.SetValue("4");
    p.SetLimits(">=3");
    p.Reset();
    EXPECT_EQ(p.Value(), "4");
}

TEST(Parameter, CaptionDescriptionRestrictions)
{
    Probe p;
    p.SetValue("v");
    p.calls.clear();
    p.SetCaption("c");
    p.SetCaption("c");
    p.SetDescription("d");
    p.SetRestrictions(RESTRICTION_RAM_CLEAR | RESTRICTION_HIDDEN);
    p.SetRestrictions(RESTRICTION_RAM_CLEAR | RESTRICTION_HIDDEN);
    EXPECT_EQ(p.calls, Calls({ParamChangeListener::CAPTION, ParamChangeListener::DESCRIPTION,
                              ParamChangeListener::RESTRICTION}));
    EXPECT_EQ(p.IsRestricted(RESTRICTION_LOGIC_DOOR), 0);
    EXPECT_EQ(p.IsRestricted(1025), RESTRICTION_HIDDEN);
}

TEST(Parameter, CopyFromIsCheckedAgainstTheCurrentLimits)
{
    Probe source;
    source.SetValue("50");
    source.SetCaption("caption");
    source.SetDescription("description");
    source.SetRestrictions(RESTRICTION_LOGIC_DOOR);
    source.SetLimits("=50|=60");

    Probe target;
    target.SetValue("5");
    target.SetLimits(">=1|<=10");
    target.calls.clear();

    const int expected = ParamChangeListener::CAPTION | ParamChangeListener::DESCRIPTION
                         | ParamChangeListener::RESTRICTION;
    EXPECT_EQ(target.CopyFrom(source), expected);
    EXPECT_EQ(target.calls, Calls({expected}));
    EXPECT_EQ(target.Value(), "5");
    EXPECT_EQ(target.Caption(), "caption");
    EXPECT_EQ(target.Description(), "description");
    EXPECT_EQ(target.Restrictions(), RESTRICTION_LOGIC_DOOR);
    EXPECT_EQ(target.Limits().OriginalString(), "=50|=60");

    // With the source's limits in place the value now comes across.
    EXPECT_EQ(target.CopyFrom(source), ParamChangeListener::VALUE);
    EXPECT_EQ(target.Value(), "50");
    EXPECT_EQ(source.calls.size(), 4u) << "the source's payload is untouched";

    // Into a null handle: a payload of its own, not the source's.
    Probe empty;
    empty.CopyFrom(source);
    EXPECT_EQ(empty.Value(), "50");
    empty.SetValue("60");
    EXPECT_EQ(source.Value(), "50");
}

TEST(Parameter, AssignmentAndStealShareThePayload)
{
    Parameter a("GLOBAL");
    a.SetValue("1");
    Parameter b("T1");
    b.SetValue("2");
    b = a;
    EXPECT_EQ(b.GetRawDomain(), "GLOBAL");
    EXPECT_EQ(b.Value(), "1");
    a.SetValue("3");
    EXPECT_EQ(b.Value(), "3");

    Parameter c("T1_3");
    EXPECT_EQ(c.StealFrom(a), ParamChangeListener::ALL);
    EXPECT_EQ(c.GetRawDomain(), "T1_3");
    EXPECT_EQ(c.StealFrom(a), 0);
    c.SetValue("4");
    EXPECT_EQ(a.Value(), "4");
}

TEST(ParameterData, InstanceCountFollowsTheLastHandle)
{
    const int base = ParameterData::GetNumInstances();
    {
        Parameter a;
        a.SetValue("x");
        EXPECT_EQ(ParameterData::GetNumInstances(), base + 1);
        {
            Parameter shared(a);
            Parameter other;
            other.SetValue("y");
            EXPECT_EQ(ParameterData::GetNumInstances(), base + 2);
            shared = other;
            EXPECT_EQ(ParameterData::GetNumInstances(), base + 2);
            a.StealFrom(other); // a's payload had no other handle left
            EXPECT_EQ(ParameterData::GetNumInstances(), base + 1);
        }
        EXPECT_EQ(ParameterData::GetNumInstances(), base + 1);
    }
    EXPECT_EQ(ParameterData::GetNumInstances(), base);
}

} // namespace
