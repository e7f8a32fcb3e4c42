#include "framework/component_registry.h"

#include <algorithm>

namespace {

std::vector<TComponentRegistration>& registry()
{
    static std::vector<TComponentRegistration> entries;
    return entries;
}

} // namespace

void RegisterComponents(const AnsiString& Page, std::initializer_list<AnsiString> ClassNames)
{
    for (const AnsiString& name : ClassNames) {
        auto& entries = registry();
        bool known = std::any_of(entries.begin(), entries.end(),
                                 [&](const TComponentRegistration& r) { return r.ClassName == name; });
        if (!known)
            entries.push_back({Page, name});
    }
}

const std::vector<TComponentRegistration>& RegisteredComponents()
{
    return registry();
}
