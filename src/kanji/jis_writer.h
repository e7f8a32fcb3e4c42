// Writes JIS (ISO-2022-JP) one character at a time: ASCII as it is, JIS
// X 0208 pairs inside ESC $ B ... ESC ( B, a run opened only where a pair
// follows ASCII and closed before ASCII and by End.
#pragma once

#include <string>

class JisWriter {
public:
    explicit JisWriter(std::string& Out) : FOut(Out) {}
    void Ascii(char c)
    {
        End();
        FOut += c;
    }
    void Pair(unsigned short jis)
    {
        if (!FInRun)
            FOut += "\x1B$B";
        FInRun = true;
        FOut += static_cast<char>(jis >> 8);
        FOut += static_cast<char>(jis & 0xFF);
    }
    void End()
    {
        if (FInRun)
            FOut += "\x1B(B";
        FInRun = false;
    }

private:
    std::string& FOut;
    bool FInRun = false;
};
