// The component palette: units register their component classes under a
// palette page by name, as the development environment's packaging does.
#pragma once

#include "framework/ansi_string.h"

#include <initializer_list>
#include <vector>

struct TComponentRegistration {
    AnsiString Page;
    AnsiString ClassName;
};

// Adds the classes under the page; a class registered twice is kept once.
void RegisterComponents(const AnsiString& Page, std::initializer_list<AnsiString> ClassNames);
const std::vector<TComponentRegistration>& RegisteredComponents();
