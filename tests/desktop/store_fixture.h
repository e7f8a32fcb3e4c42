// A private settings store for each test: XDG_CONFIG_HOME points at a
// temporary folder, and values are written and read through the registry.
#pragma once

#include "relay/probe.h"
#include "winapi/registry.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <string>

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    }
    QString HivePath() const { return dir.filePath("nimbochat/HKEY_CURRENT_USER.reg"); }
    QByteArray HiveText() const
    {
        QFile f(HivePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void WriteHive(const QByteArray& text)
    {
        QDir().mkpath(dir.filePath("nimbochat"));
        QFile f(HivePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    static HKEY Key(const char* path)
    {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        return key;
    }
    static void SetText(HKEY key, const char* name, const std::string& text, DWORD type = REG_SZ)
    {
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.data()), DWORD(text.size()));
    }
    static void SetNumber(HKEY key, const char* name, std::uint32_t v)
    {
        BYTE data[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
        RegSetValueExA(key, name, 0, REG_DWORD, data, 4);
    }
    static bool Query(HKEY key, const char* name, DWORD& type, std::string& data)
    {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        data.assign(size, '\0');
        return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
               ERROR_SUCCESS;
    }
    std::unique_ptr<TNimboChat> Start()
    {
        auto w = std::make_unique<TNimboChat>(nullptr);
        w->Show();
        return w;
    }

    QTemporaryDir dir;
};
