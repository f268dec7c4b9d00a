// A host double for the parameter tests: an application whose storage hooks
// answer from an in-memory table of (domain text, name) values, falling back
// from a terminal to its group and to GLOBAL, and record every call.
#pragma once

#include "IdleHost.h"
#include "TApplication.h"

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Captured standard output without the draw thread's own status lines
// (full build), which may come at any moment.
inline std::string CapturedStdout()
{
    const std::string all = testing::internal::GetCapturedStdout();
    std::string out;
    std::string::size_type pos = 0;
    while (pos < all.size()) {
        std::string::size_type end = all.find('\n', pos);
        end = end == std::string::npos ? all.size() : end + 1;
        if (all.compare(pos, 6, "DRAW: ") != 0)
            out.append(all, pos, end - pos);
        pos = end;
    }
    return out;
}

struct StoredValue {
    std::string value;
    std::string caption;
    std::string description;
    std::int64_t restrictions = 0;
};

class ParamTestHost : public IdleHost {
public:

    void SetID(const std::string& id) { SetClientID(id); }

    void Know(const std::string& domain, const std::string& name, const std::string& value,
              const std::string& caption = "", const std::string& description = "")
    {
        std::lock_guard<std::mutex> lock(mMutex);
        known[{domain, name}] = StoredValue{value, caption, description, 0};
    }

    Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName) override
    {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            requests.push_back(UserAddress + "/" + ParamName);
            hook = onRequest;
        }
        if (hook)
            hook(ParamName);
        if (throwOnRequest)
            throw std::runtime_error("storage is down");
        std::lock_guard<std::mutex> lock(mMutex);
        std::vector<std::string> chain{UserAddress};
        if (UserAddress != "GLOBAL") {
            auto cut = UserAddress.find('_');
            if (cut != std::string::npos)
                chain.push_back(UserAddress.substr(0, cut));
            chain.push_back("GLOBAL");
        }
        for (const std::string& domain : chain) {
            auto it = known.find({domain, ParamName});
            if (it == known.end())
                continue;
            Parameter answer(answerDomain.empty() ? domain : answerDomain);
            answer.SetValue(it->second.value);
            answer.SetCaption(it->second.caption);
            answer.SetDescription(it->second.description);
            answer.SetRestrictions(it->second.restrictions);
            return answer;
        }
        return Parameter();
    }

    void OnStoreValue(vorel_sdl2::TAppParam* p, int saveMode) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        stored.push_back(Describe(p));
    }

    void OnDeleteValue(vorel_sdl2::TAppParam* p) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        deleted.push_back(Describe(p));
    }

    void OnStoreValues(std::list<vorel_sdl2::TAppParam*>& params) override
    {
        std::vector<std::string> batch;
        for (vorel_sdl2::TAppParam* p : params)
            batch.push_back(Describe(p));
        std::function<void(std::list<vorel_sdl2::TAppParam*>&)> hook;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            batches.push_back(batch);
            hook = onStoreValues;
        }
        if (hook)
            hook(params);
        params.clear();
    }

    // Under the entry's lock, as a host reads entries that other threads write.
    static std::string Describe(const vorel_sdl2::TAppParam* p)
    {
        p->Lock();
        std::string text = p->Name() + "@" + p->GetRawDomain() + "=" + p->Value();
        p->Unlock();
        return text;
    }

    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return requests;
    }

    std::map<std::pair<std::string, std::string>, StoredValue> known;
    // Non-empty: every answer claims to come from this domain text.
    std::string answerDomain;
    bool throwOnRequest = false;
    std::function<void(const std::string&)> onRequest;
    std::function<void(std::list<vorel_sdl2::TAppParam*>&)> onStoreValues;
    std::vector<std::string> requests;
    std::vector<std::string> stored;
    std::vector<std::string> deleted;
    std::vector<std::vector<std::string>> batches;

private:
    std::mutex mMutex;
};
