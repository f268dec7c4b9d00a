// The parameter manager: owns the process's application parameters, resolves
// them across the terminal, group and global domains and hands queued stores
// to the host's storage hooks once per main-loop pass. TApplication is a
// TParamMan; the host overrides the On* hooks to persist values.
#pragma once

#include <list>
#include <string>

namespace vorel_sdl2 {

class TAppParam;

class TParamMan {
public:
    TParamMan();
    ~TParamMan();

    // Hands the store queue to OnStoreValues (also when it is empty); always 0.
    int Poll();

    virtual void OnStoreValues(std::list<TAppParam*>& params);

protected:
    // Moves the parameters kept under the old client identifier to the new one.
    void UpdateClientID(const std::string& NewClientID, const std::string& OldClientID);

private:
    std::list<TAppParam*> ToStore;
};

} // namespace vorel_sdl2
