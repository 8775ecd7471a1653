#include "window/widgets/valueboxstyle.h"

#include <QCoreApplication>
#include <QPalette>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionSpinBox>

#include <vector>

namespace {

// A box meets a handful of colour sets (enabled, disabled, out of range); the limit only
// guards against colours that keep changing.
constexpr size_t paletteLimit = 16;

class ValueBoxStyle : public QProxyStyle
{
public:
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override
    {
        const auto* spinBox =
            control == CC_SpinBox ? qstyleoption_cast<const QStyleOptionSpinBox*>(option) : nullptr;
        if (!spinBox) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        QStyleOptionSpinBox stable(*spinBox);
        stable.palette = known(spinBox->palette);
        // Palettes compare equal whatever group is current; the state's group is the one drawn.
        stable.palette.setCurrentColorGroup(spinBox->palette.currentColorGroup());
        QProxyStyle::drawComplexControl(control, &stable, painter, widget);
    }

private:
    // The first palette seen with these colours; its identity is what the style's cache keys on.
    QPalette known(const QPalette& palette) const
    {
        for (const QPalette& seen : _palettes)
            if (seen == palette)
                return seen;
        if (_palettes.size() == paletteLimit)
            _palettes.erase(_palettes.begin());
        _palettes.push_back(palette);
        return palette;
    }

    mutable std::vector<QPalette> _palettes; // oldest first
};

} // namespace

QStyle* valueBoxStyle()
{
    // One for all boxes, deleted with the application that drew them.
    static QPointer<QStyle> style;
    if (!style) {
        style = new ValueBoxStyle;
        style->setParent(QCoreApplication::instance());
    }
    return style;
}
