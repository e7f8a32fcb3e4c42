// The user's settings: copied from the store into the controls once at
// start-up, and from the controls into the store once at exit.
#include "desktop/registry_values.h"
#include "relay/main_window.h"

namespace {

const char* const SettingsKey = "\\SOFTWARE\\Orvane\\NimboChat";

// A stored port: the low 16 bits, as a signed 16-bit number.
int PortFromStored(std::int32_t stored)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(stored & 0xFFFF));
}

struct Settings {
    AnsiString ClientHost, ClientNick, ClientPath, StayPassword;
    std::int32_t ClientPort = 0, ServerPort = 0;
    bool Convert = false, Auto = false;
    bool Min = false, Task = false, Keyword = false, Flash = true;
    bool Utf8 = false, Ssl = false, AllowUntrustedCert = false, Stay = false, Log = false, Notify = false;
};

bool ReadSwitch(const TRegistryKey& key, const char* name, bool& on)
{
    std::int32_t value = 0;
    if (!key.ReadNumber(name, value))
        return false;
    on = value != 0;
    return true;
}

// An optional switch keeps its default when it is not stored at all.
bool ReadOptionalSwitch(const TRegistryKey& key, const char* name, bool& on)
{
    return !key.Exists(name) || ReadSwitch(key, name, on);
}

// A switch that is stored only while on, so that the file of someone who
// never turns it on stays as it was; turned off, it is removed (missing
// reads as off).
bool WriteSwitchWhenOn(const TRegistryKey& key, const char* name, bool on)
{
    return on ? key.WriteNumber(name, 1) : !key.Exists(name) || key.Delete(name);
}

// A text that is stored only while it is not empty; emptied, it is removed.
bool WriteTextWhenSet(const TRegistryKey& key, const char* name, const AnsiString& text)
{
    return !text.empty() ? key.WriteText(name, text) : !key.Exists(name) || key.Delete(name);
}

bool ReadAll(const TRegistryKey& key, Settings& s)
{
    return key.ReadText("ClientHost", s.ClientHost) && key.ReadNumber("ClientPort", s.ClientPort) &&
           key.ReadText("ClientNick", s.ClientNick) && key.ReadNumber("ServerPort", s.ServerPort) &&
           ReadSwitch(key, "ConvertCheck", s.Convert) && key.ReadText("ClientPath", s.ClientPath) &&
           ReadSwitch(key, "AutoCheck", s.Auto) && ReadOptionalSwitch(key, "MinCheck", s.Min) &&
           ReadOptionalSwitch(key, "TaskCheck", s.Task) && ReadOptionalSwitch(key, "KeywordCheck", s.Keyword) &&
           ReadOptionalSwitch(key, "FlashCheck", s.Flash) && ReadOptionalSwitch(key, "Utf8Check", s.Utf8) &&
           ReadOptionalSwitch(key, "SSL", s.Ssl) && ReadOptionalSwitch(key, "AllowUntrustedCert", s.AllowUntrustedCert) &&
           ReadOptionalSwitch(key, "StayCheck", s.Stay) && ReadOptionalSwitch(key, "LogCheck", s.Log) &&
           ReadOptionalSwitch(key, "NotifyCheck", s.Notify) && key.ReadText("StayPassword", s.StayPassword);
}

} // namespace

bool TNimboChat::LoadSettings()
{
    Settings s;
    {
        TRegistryKey key;
        if (!key.Open(SettingsKey, false) || !ReadAll(key, s))
            return false;
    }
    ClientEdit->SetText(s.ClientHost);
    // Before the port: the stored port stands, not the one SSL offers.
    SslCheckBox->SetChecked(s.Ssl);
    ClientSocket->AllowUntrustedCert = s.AllowUntrustedCert;
    ClientUpDown->SetPosition(PortFromStored(s.ClientPort));
    NickEdit->SetText(s.ClientNick);
    ServerUpDown->SetPosition(PortFromStored(s.ServerPort));
    ConvertCheckBox->SetChecked(s.Convert);
    ClientPathEdit->SetText(s.ClientPath);
    AutoCheckBox->SetChecked(s.Auto);
    MinCheckBox->SetChecked(s.Min);
    TaskCheckBox->SetChecked(s.Task);
    KeywordCheckBox->SetChecked(s.Keyword);
    FlashCheckBox->SetChecked(s.Flash);
    Utf8CheckBox->SetChecked(s.Utf8);
    StayCheckBox->SetChecked(s.Stay);
    LogCheckBox->SetChecked(s.Log);
    NotifyCheckBox->SetChecked(s.Notify);
    StayPassword = s.StayPassword;
    return true;
}

bool TNimboChat::SaveSettings()
{
    TRegistryKey key;
    if (!key.Open(SettingsKey, true))
        return false;
    // The file is written when the key closes: that write is the result.
    const bool written =
        key.WriteText("ClientHost", ClientEdit->Text()) && key.WriteNumber("ClientPort", ClientUpDown->Position()) &&
           key.WriteText("ClientNick", NickEdit->Text()) && key.WriteNumber("ServerPort", ServerUpDown->Position()) &&
           key.WriteNumber("ConvertCheck", ConvertCheckBox->Checked()) &&
           key.WriteText("ClientPath", ClientPathEdit->Text()) && key.WriteNumber("AutoCheck", AutoCheckBox->Checked()) &&
           key.WriteNumber("MinCheck", MinCheckBox->Checked()) && key.WriteNumber("TaskCheck", TaskCheckBox->Checked()) &&
           key.WriteNumber("KeywordCheck", KeywordCheckBox->Checked()) &&
           key.WriteNumber("FlashCheck", FlashCheckBox->Checked()) &&
           WriteSwitchWhenOn(key, "Utf8Check", Utf8CheckBox->Checked()) &&
           WriteSwitchWhenOn(key, "SSL", SslCheckBox->Checked()) &&
           WriteSwitchWhenOn(key, "AllowUntrustedCert", ClientSocket->AllowUntrustedCert) &&
           WriteSwitchWhenOn(key, "StayCheck", StayCheckBox->Checked()) &&
           WriteSwitchWhenOn(key, "LogCheck", LogCheckBox->Checked()) &&
           WriteSwitchWhenOn(key, "NotifyCheck", NotifyCheckBox->Checked()) &&
           WriteTextWhenSet(key, "StayPassword", StayPassword);
    return key.Close() && written;
}
