// A host built outside the tree against the installed parameter store: a
// value stored in one run is read back by a second store on the same file.
#include "SqliteParamStore.h"

#include <cstdio>
#include <string>

class Host : public SqliteParamHooks<vorel_sdl2::TApplication> {
public:
    int Init() override { return 0; }
    void Destroy() override {}
    void Startup() override {}
    int RunOnce() override { return 1; }
    int DrawOnce() override { return 0; }
};

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string file = argv[1];
    {
        Host host;
        if (host.Store.Open(file) != 0)
            return 1;
        host.SetParam("consumer", "stored", PARAM_GLOBAL);
        host.vorel_sdl2::TParamMan::Poll();
    }
    SqliteParamStore again;
    const bool ok = again.Open(file) == 0 && again.Request("GLOBAL", "consumer").Value() == "stored";
    std::printf("store host: %s\n", ok ? "value read back" : "value lost");
    return ok ? 0 : 1;
}
