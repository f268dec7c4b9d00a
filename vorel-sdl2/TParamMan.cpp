#include "TParamMan.h"

#include <cstdio>

namespace vorel_sdl2 {

TParamMan::TParamMan() = default;
TParamMan::~TParamMan() = default;

int TParamMan::Poll()
{
    std::list<TAppParam*> batch;
    batch.swap(ToStore);
    OnStoreValues(batch);
    return 0;
}

void TParamMan::OnStoreValues(std::list<TAppParam*>& params)
{
    if (params.empty())
        return;
    std::printf("Requested store of param list (%lu). Will do nothing!\n", static_cast<unsigned long>(params.size()));
    params.clear();
}

// The cache is empty until parameters can be created: nothing to re-key.
void TParamMan::UpdateClientID(const std::string&, const std::string&) {}

} // namespace vorel_sdl2
