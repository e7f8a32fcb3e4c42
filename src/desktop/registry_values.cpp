#include "desktop/registry_values.h"

#include <utility>
#include <vector>

TRegistryKey::~TRegistryKey()
{
    if (FKey)
        RegCloseKey(FKey);
}

bool TRegistryKey::Close()
{
    HKEY key = std::exchange(FKey, nullptr);
    return key && RegCloseKey(key) == ERROR_SUCCESS;
}

bool TRegistryKey::Open(const char* Path, bool Create)
{
    LONG rc = Create ? RegCreateKeyExA(HKEY_CURRENT_USER, Path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                       nullptr, &FKey, nullptr)
                     : RegOpenKeyExA(HKEY_CURRENT_USER, Path, 0, KEY_ALL_ACCESS, &FKey);
    if (rc != ERROR_SUCCESS)
        FKey = nullptr;
    return FKey != nullptr;
}

bool TRegistryKey::ReadText(const char* Name, AnsiString& Text) const
{
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(FKey, Name, nullptr, &type, nullptr, &size);
    Text.clear();
    if (rc == ERROR_FILE_NOT_FOUND)
        return true;
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::vector<BYTE> data(size);
    if (size > 0 && RegQueryValueExA(FKey, Name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    Text.assign(reinterpret_cast<const char*>(data.data()), size);
    Text.resize(Text.find('\0') == AnsiString::npos ? Text.size() : Text.find('\0'));
    return true;
}

bool TRegistryKey::ReadNumber(const char* Name, std::int32_t& Number) const
{
    DWORD type = 0;
    BYTE data[4] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExA(FKey, Name, nullptr, &type, data, &size) != ERROR_SUCCESS || type != REG_DWORD || size != 4)
        return false;
    Number = static_cast<std::int32_t>(data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint32_t(data[3]) << 24));
    return true;
}

bool TRegistryKey::Exists(const char* Name) const
{
    DWORD size = 0;
    return RegQueryValueExA(FKey, Name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
}

bool TRegistryKey::WriteText(const char* Name, const AnsiString& Text) const
{
    return RegSetValueExA(FKey, Name, 0, REG_SZ, reinterpret_cast<const BYTE*>(Text.data()),
                          static_cast<DWORD>(Text.size())) == ERROR_SUCCESS;
}

bool TRegistryKey::WriteNumber(const char* Name, std::int32_t Number) const
{
    auto u = static_cast<std::uint32_t>(Number);
    BYTE data[4] = {BYTE(u), BYTE(u >> 8), BYTE(u >> 16), BYTE(u >> 24)};
    return RegSetValueExA(FKey, Name, 0, REG_DWORD, data, sizeof data) == ERROR_SUCCESS;
}

bool TRegistryKey::Delete(const char* Name) const
{
    return RegDeleteValueA(FKey, Name) == ERROR_SUCCESS;
}
