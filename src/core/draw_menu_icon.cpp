#include "core/draw_menu_icon.h"

#include <QPainterPath>
#include <QPixmap>
#include <functional>
#include <map>

namespace {

using TDraw = std::function<void(QPainter&)>;

const std::map<std::string, TDraw>& Drawings()
{
    static const std::map<std::string, TDraw> drawings = {
        {"STATION",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#1d4f7a"), 1.6));
             p.drawLine(QPointF(4, 15), QPointF(8, 2));
             p.drawLine(QPointF(12, 15), QPointF(8, 2));
             p.drawLine(QPointF(5.5, 10), QPointF(10.5, 10));
             p.setPen(QPen(QColor("#c9a20c"), 1.4));
             p.drawArc(QRectF(5, -1, 8, 8), -60 * 16, 120 * 16);
         }},
        {"LINKCTRL",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#1d4f7a"), 1.5));
             p.drawLine(QPointF(8, 15), QPointF(8, 6));
             p.setPen(QPen(QColor("#c9a20c"), 1.3));
             p.drawArc(QRectF(4, 2, 8, 8), 30 * 16, 120 * 16);
             p.drawArc(QRectF(1, -1, 14, 14), 30 * 16, 120 * 16);
         }},
        {"MAILBOX",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#404040"), 1));
             p.setBrush(QColor("#f4f0dc"));
             p.drawRect(QRectF(1.5, 3.5, 13, 9));
             p.drawLine(QPointF(1.5, 3.5), QPointF(8, 9));
             p.drawLine(QPointF(14.5, 3.5), QPointF(8, 9));
         }},
        {"SETTINGS",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#505050"), 2.5));
             for (int i = 0; i < 4; ++i) {
                 p.save();
                 p.translate(8, 8);
                 p.rotate(45.0 * i);
                 p.drawLine(QPointF(-6.5, 0), QPointF(6.5, 0));
                 p.restore();
             }
             p.setPen(Qt::NoPen);
             p.setBrush(QColor("#909090"));
             p.drawEllipse(QPointF(8, 8), 4.5, 4.5);
             p.setBrush(Qt::white);
             p.drawEllipse(QPointF(8, 8), 1.8, 1.8);
         }},
        {"NETWORK",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#2a6a2a"), 1.2));
             p.setBrush(QColor("#cfe8cf"));
             p.drawRect(QRectF(5.5, 1.5, 5, 4));
             p.drawRect(QRectF(0.5, 10.5, 5, 4));
             p.drawRect(QRectF(10.5, 10.5, 5, 4));
             p.drawLine(QPointF(8, 5.5), QPointF(8, 8));
             p.drawLine(QPointF(3, 8), QPointF(13, 8));
             p.drawLine(QPointF(3, 8), QPointF(3, 10.5));
             p.drawLine(QPointF(13, 8), QPointF(13, 10.5));
         }},
        {"GATEWAY",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#1d4f7a"), 1.2));
             p.setBrush(QColor("#d8e8f6"));
             p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
             p.setBrush(Qt::NoBrush);
             p.drawEllipse(QPointF(8, 8), 3, 6.5);
             p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
         }},
        {"FAX",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#404040"), 1));
             p.setBrush(QColor("#e0e0e0"));
             p.drawRect(QRectF(1.5, 7.5, 13, 7));
             p.setBrush(Qt::white);
             p.drawRect(QRectF(4.5, 1.5, 7, 7));
             p.drawLine(QPointF(6, 4), QPointF(10, 4));
             p.drawLine(QPointF(6, 6), QPointF(10, 6));
         }},
        {"ABOUT",
         [](QPainter& p) {
             p.setPen(Qt::NoPen);
             p.setBrush(QColor("#1d4f7a"));
             p.drawEllipse(QPointF(8, 8), 7, 7);
             p.setBrush(Qt::white);
             p.drawEllipse(QPointF(8, 4.5), 1.3, 1.3);
             p.drawRect(QRectF(7, 7, 2, 6));
         }},
        {"LOG",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#404040"), 1));
             p.setBrush(Qt::white);
             p.drawRect(QRectF(2.5, 0.5, 11, 15));
             for (int y = 4; y <= 12; y += 3)
                 p.drawLine(QPointF(4.5, y), QPointF(11.5, y));
         }},
        {"SHUTDOWN",
         [](QPainter& p) {
             p.setPen(QPen(QColor("#b02020"), 2));
             p.drawArc(QRectF(2, 3, 12, 12), 120 * 16, 300 * 16);
             p.drawLine(QPointF(8, 1), QPointF(8, 8));
         }},
    };
    return drawings;
}

} // namespace

QIcon MenuIcon(const std::string& name)
{
    const auto& drawings = Drawings();
    const auto found = drawings.find(name);
    if (found == drawings.end())
        return {};
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    found->second(painter);
    painter.end();
    return QIcon(pixmap);
}

bool DrawMenuIcon(QPainter& painter, const QRect& itemRect, const std::string& name)
{
    const QIcon icon = MenuIcon(name);
    if (icon.isNull())
        return false;
    painter.drawPixmap(itemRect.left(), itemRect.top(), icon.pixmap(16, 16));
    return true;
}
