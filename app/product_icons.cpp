#include "app/product_icons.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resource lives in a static library, so it is registered by hand.
static void RegisterProductIcons() { Q_INIT_RESOURCE(product_icons); }

namespace {

// Rendered here rather than through an icon plug-in, so no installed plug-in
// decides whether the program has an icon.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

} // namespace

QIcon LoadProductIcon(unsigned iconId)
{
    if (iconId != kProgramIconId && iconId != kTrayIconId)
        return {};
    static const bool registered = (RegisterProductIcons(), true);
    (void)registered;
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(iconId));
    if (!renderer.isValid())
        return {};
    QIcon icon;
    for (int size : kIconSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
