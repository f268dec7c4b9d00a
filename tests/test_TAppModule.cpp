// Modules and the module registry: name lookup (exact, then prefix), dropping,
// Init/Destroy, enabling, and DestroyModules with failing or meddling Unloads.
#include "IdleHost.h"
#include "TApplication.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using vorel_sdl2::TAppModule;
using vorel_sdl2::TApplication;

namespace {

using Host = IdleHost;

// What happened to the modules of a test, by name.
struct Journal {
    std::vector<std::string> lines;
    std::map<std::string, int> deleted;
};

class Module : public TAppModule {
public:
    Module(Journal* j, std::string name) : mJournal(j), mName(std::move(name)) { ModuleName = mName; }
    ~Module() override
    {
        if (mJournal)
            ++mJournal->deleted[mName];
    }

    int Load(void* data) override
    {
        note("load");
        return data ? *static_cast<int*>(data) : 0;
    }
    int Unload() override
    {
        note("unload");
        if (onUnload)
            onUnload();
        return 0;
    }
    void OnEnable() override { note("on-enable"); }
    void OnDisable() override { note("on-disable"); }

    std::function<void()> onUnload;

private:
    void note(const char* what) { mJournal->lines.push_back(mName + ":" + what); }
    Journal* mJournal;
    std::string mName;
};

// The draw thread of the full build announces itself on standard output at
// a moment of its own choosing.
std::string WithoutDrawThreadLines(const std::string& text)
{
    std::string kept;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(pos, 6, "DRAW: ") != 0)
            kept.append(text, pos, end - pos);
        pos = end;
    }
    return kept;
}

class Registry : public ::testing::Test {
protected:
    Host app;
    Journal journal;

    Module* add(const std::string& name)
    {
        Module* m = new Module(&journal, name);
        EXPECT_EQ(app.AddModule(m), 0) << name;
        return m;
    }
};

} // namespace

// With LedPanel, Dome, Door and DoorLock registered, in that order. (A name
// can only be registered while no registered name begins with it, so Door
// must come before DoorLock.)
struct LookupCase {
    const char* what;
    std::function<std::string(TApplication&, Journal&)> op;
    std::string expected;
    std::string printed; // exact console output of the operation
};

TEST_F(Registry, LookupDropAndAddFollowExactThenPrefixRules)
{
    auto name = [](TAppModule* m) { return m ? m->ModuleName : std::string("null"); };
    auto addNew = [](TApplication& a, Journal& j, const char* n) {
        Module* m = new Module(&j, n);
        int r = a.AddModule(m);
        if (r != 0)
            delete m;
        return std::to_string(r);
    };
    const std::vector<LookupCase> cases = {
        {"exact name", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("LedPanel")); }, "LedPanel", ""},
        {"prefix finds the longer name", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("Led")); },
         "LedPanel", ""},
        {"exact beats a later prefix match", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("Door")); },
         "Door", ""},
        {"first prefix match in list order", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("Do")); },
         "Dome", ""},
        {"first prefix match among two", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("Doo")); },
         "Door", ""},
        {"a name registered after its prefix", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("DoorL")); },
         "DoorLock", ""},
        {"longer than any name", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("LedPanels")); },
         "null", ""},
        {"unknown", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("Lamp")); }, "null", ""},
        {"empty name", [&](TApplication& a, Journal&) { return name(a.GetModuleByName("")); }, "null", ""},
        {"drop by prefix is refused", [](TApplication& a, Journal&) { return std::to_string(a.DropModule("Led")); },
         "-2", ""},
        {"drop by empty name", [](TApplication& a, Journal&) { return std::to_string(a.DropModule(std::string())); },
         "-1", ""},
        {"drop by exact name", [](TApplication& a, Journal&) { return std::to_string(a.DropModule("Door")); }, "0",
         "application::Dropping Module: Door\n"},
        {"drop a null pointer",
         [](TApplication& a, Journal&) { return std::to_string(a.DropModule(static_cast<TAppModule*>(nullptr))); },
         "-1", ""},
        {"drop an unregistered pointer",
         [](TApplication& a, Journal& j) {
             Module stranger(&j, "Stranger");
             return std::to_string(a.DropModule(&stranger));
         },
         "-2", ""},
        {"add a name that prefixes a registered one", [&](TApplication& a, Journal& j) { return addNew(a, j, "Led"); },
         "-2", "application::Module \"Led\" already exists in this application.\n"},
        {"add a duplicate", [&](TApplication& a, Journal& j) { return addNew(a, j, "Door"); }, "-2",
         "application::Module \"Door\" already exists in this application.\n"},
        {"add a nameless module", [&](TApplication& a, Journal& j) { return addNew(a, j, ""); }, "-1", ""},
        {"add null", [](TApplication& a, Journal&) { return std::to_string(a.AddModule(nullptr)); }, "-1", ""},
        // "LedPanelX" is not a prefix of anything registered, so it is new.
        {"add a longer name", [&](TApplication& a, Journal& j) { return addNew(a, j, "LedPanelX"); }, "0",
         "application::Module LedPanelX added.\n"},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.what);
        Module* ledPanel = add("LedPanel");
        Module* dome = add("Dome");
        Module* door = add("Door");
        Module* doorLock = add("DoorLock");
        ::testing::internal::CaptureStdout();
        std::string result = c.op(app, journal);
        std::fflush(stdout);
        std::string printed = WithoutDrawThreadLines(::testing::internal::GetCapturedStdout());
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(printed, c.printed);
        // The registry is left as the operation says: a refused add changes nothing.
        EXPECT_EQ(app.GetModuleByName("DoorLock"), doorLock);
        EXPECT_EQ(app.GetModuleByName("LedPanel"), ledPanel);
        EXPECT_EQ(app.GetModuleByName("Dome"), dome);
        const bool doorDropped = std::string(c.what) == "drop by exact name";
        EXPECT_EQ(app.GetModuleByName("Door"), doorDropped ? doorLock : door); // then only the prefix match is left
        if (doorDropped)
            delete door;
        EXPECT_GE(app.DestroyModules(), 0);
    }
}

TEST_F(Registry, InitRegistersAndLoadsDestroyUnregistersAndDeletes)
{
    Module* m = new Module(&journal, "Panel");
    int loadResult = 7;
    EXPECT_EQ(m->Init(&app, "Panel", &loadResult), 7);
    EXPECT_EQ(m->pApplication, &app);
    EXPECT_TRUE(m->IsEnabled());
    EXPECT_EQ(app.GetModuleByName("Panel"), m);
    app.AddEventListener(m, false);

    EXPECT_EQ(m->Destroy(), 0);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"Panel:load", "Panel:unload"}));
    EXPECT_EQ(journal.deleted["Panel"], 1);
    EXPECT_EQ(app.GetModuleByName("Panel"), nullptr);

    // Without load data there is no Load.
    Module* quiet = new Module(&journal, "Quiet");
    EXPECT_EQ(quiet->Init(&app, "Quiet", nullptr), 0);
    EXPECT_EQ(journal.lines.size(), 2u);
    EXPECT_EQ(app.DestroyModules(), 0);
}

TEST_F(Registry, InitRefusesBadArgumentsAndLeavesTheModuleUnregistered)
{
    Module m(&journal, "Loose");
    int data = 1;
    EXPECT_EQ(m.Init(&app, "", &data), -1);
    EXPECT_EQ(m.Init(nullptr, "Loose", &data), -1);
    EXPECT_EQ(m.pApplication, nullptr);
    EXPECT_FALSE(m.IsEnabled());
    EXPECT_EQ(app.GetModuleByName("Loose"), nullptr);
    EXPECT_TRUE(journal.lines.empty());
    EXPECT_EQ(m.Destroy(), -1); // and the object is still there
    EXPECT_EQ(journal.deleted["Loose"], 0);
}

TEST_F(Registry, ARefusedRegistrationIsNotLoaded)
{
    Module* first = add("Panel");
    // A taken name, and a name a registered one begins with.
    for (const char* name : {"Panel", "Pan"}) {
        SCOPED_TRACE(name);
        Module second(&journal, name);
        int data = 3;
        EXPECT_EQ(second.Init(&app, name, &data), -2);
        EXPECT_TRUE(journal.lines.empty());
        EXPECT_EQ(second.pApplication, nullptr);
        EXPECT_FALSE(second.IsEnabled());
        EXPECT_EQ(second.Destroy(), -1);
        EXPECT_EQ(app.GetModuleByName("Panel"), first);
    }
    // Only the registered module is unloaded; the refused ones never loaded.
    EXPECT_EQ(app.DestroyModules(), 0);
    EXPECT_EQ(journal.lines, std::vector<std::string>{"Panel:unload"});
}

TEST_F(Registry, EnableAndDisableCallTheirHooksOnlyOnAChange)
{
    Module* m = new Module(&journal, "Lamp");
    m->Init(&app, "Lamp", nullptr); // enables without the hook
    m->Enable();
    m->Disable();
    m->Disable();
    EXPECT_FALSE(m->IsEnabled());
    m->Enable();
    m->Enable();
    EXPECT_TRUE(m->IsEnabled());
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"Lamp:on-disable", "Lamp:on-enable"}));
    m->Destroy();
}

TEST_F(Registry, DestroyModulesCountsFailedUnloadsAndKeepsThoseModulesAlive)
{
    EXPECT_EQ(app.DestroyModules(), 0);

    add("A");
    Module* b = add("B");
    add("C");
    b->onUnload = [] { throw std::runtime_error("stuck"); };
    app.AddEventListener(b, false);

    EXPECT_EQ(app.DestroyModules(), 1);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"A:unload", "B:unload", "C:unload"}));
    EXPECT_EQ(journal.deleted["A"], 1);
    EXPECT_EQ(journal.deleted["B"], 0);
    EXPECT_EQ(journal.deleted["C"], 1);
    EXPECT_EQ(app.GetModuleByName("B"), nullptr); // the registry is empty all the same
    EXPECT_EQ(app.DestroyModules(), 0);
    app.RemoveEventListener(b);
    delete b;
}

TEST_F(Registry, AnUnloadThatDestroysOrAddsModulesDoesNotDisturbTheWalk)
{
    Module* a = add("A");
    Module* b = add("B");
    add("C");
    a->onUnload = [&] { b->Destroy(); };
    b->onUnload = [&] { add("Late"); };

    EXPECT_EQ(app.DestroyModules(), 0);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"A:unload", "B:unload", "C:unload", "Late:unload"}));
    for (const char* n : {"A", "B", "C", "Late"})
        EXPECT_EQ(journal.deleted[n], 1) << n;
    EXPECT_EQ(app.GetModuleByName("Late"), nullptr);
}
