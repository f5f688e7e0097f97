#pragma once

#include <QIcon>
#include <QPainter>
#include <QRect>
#include <string>

// The 16 x 16 icons of the notification-area menus, named by the menu item's
// identifier: "LINKCTRL", "MAILBOX", "SETTINGS", "NETWORK", "GATEWAY", "FAX",
// "ABOUT", "LOG", "SHUTDOWN", and "STATION" (the station's own icon).
// Unknown names give a null icon.
QIcon MenuIcon(const std::string& name);

// Draws the item's icon at the item's left and top; false when there is no
// icon of that name.
bool DrawMenuIcon(QPainter& painter, const QRect& itemRect, const std::string& name);
