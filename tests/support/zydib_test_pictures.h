// Pictures of a surface as text, so that drawing tests compare pixel by
// pixel and print what differs readably: '.' for 0, else the value in hex
// (one digit below 16, otherwise "[xx]").
#pragma once

#include "support/Zydib.h"

#include <cstdio>
#include <string>
#include <vector>

inline std::string PictureRow(const TZyDib& d, int y, int w)
{
    std::string row;
    for (int x = 0; x < w; ++x) {
        unsigned v = d.PGet(x, y);
        char buf[8];
        std::snprintf(buf, sizeof buf, v == 0 ? "." : v < 16 ? "%X" : "[%02X]", v);
        row += buf;
    }
    return row;
}

// The top-left w x h pixels (the whole surface by default), one string a row.
inline std::vector<std::string> Picture(const TZyDib& d, int w = -1, int h = -1)
{
    std::vector<std::string> rows;
    for (int y = 0; y < (h < 0 ? d.Height() : h); ++y)
        rows.push_back(PictureRow(d, y, w < 0 ? d.Width() : w));
    return rows;
}

// Points whose pixel is not 0, in row order.
inline std::vector<std::pair<int, int>> Plotted(const TZyDib& d)
{
    std::vector<std::pair<int, int>> points;
    for (int y = 0; y < d.Height(); ++y)
        for (int x = 0; x < d.Width(); ++x)
            if (d.PGet(x, y))
                points.emplace_back(x, y);
    return points;
}
