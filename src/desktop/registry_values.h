// The three kinds of stored value (text, number, switch) on one open
// registry key, with the read rules the settings and keywords share.
#pragma once

#include "framework/ansi_string.h"
#include "winapi/registry.h"

#include <cstdint>

class TRegistryKey {
public:
    TRegistryKey() = default;
    ~TRegistryKey();
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;

    // Opens a path under HKEY_CURRENT_USER with full access, creating what
    // is missing when Create is set. False when it cannot be opened.
    bool Open(const char* Path, bool Create);
    // Closes the key (the destructor does it otherwise). False when the
    // changes made through it could not be written to the store's file.
    bool Close();

    // A text: REG_SZ or REG_EXPAND_SZ, cut at its first zero byte; missing
    // or empty reads as "". False for any other type.
    bool ReadText(const char* Name, AnsiString& Text) const;
    // A REG_DWORD; false when missing or of another type.
    bool ReadNumber(const char* Name, std::int32_t& Number) const;
    bool Exists(const char* Name) const;

    // A text as REG_SZ without a terminating zero byte.
    bool WriteText(const char* Name, const AnsiString& Text) const;
    bool WriteNumber(const char* Name, std::int32_t Number) const;
    bool Delete(const char* Name) const;

private:
    HKEY FKey = nullptr;
};
