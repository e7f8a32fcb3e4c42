// A user's mouse drag on a widget: the left button pressed at one point,
// moved with it held to another, and released there, delivered at once.
#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

inline void DragWithMouse(QWidget* area, QPointF from, QPointF to)
{
    QMouseEvent press(QEvent::MouseButtonPress, from, area->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, to, area->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, to, area->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(area, &press);
    QApplication::sendEvent(area, &move);
    QApplication::sendEvent(area, &release);
}
