#include "statusbar.h"

#include <QLabel>

namespace {
constexpr int kPanelWidths[TStatusBar::PanelCount] = {300, 500};
} // namespace

TStatusBar::TStatusBar(QWidget* parent) : QFrame(parent)
{
    setFrameShape(QFrame::NoFrame);
    for (int i = 0; i < PanelCount; ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("sbCommPanel%1").arg(i));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        // Frames are shown as sent: "[0D]" and the like must not be read as markup.
        panel->setTextFormat(Qt::PlainText);
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        panel->setIndent(3);
        panels[i] = panel;
    }
    placePanels();
}

void TStatusBar::setPanelText(int index, const QString& text)
{
    if (index < 0 || index >= PanelCount)
        return;
    panels[index]->setText(text);
}

QString TStatusBar::panelText(int index) const
{
    if (index < 0 || index >= PanelCount)
        return {};
    return panels[index]->text();
}

int TStatusBar::panelWidth(int index) const
{
    if (index < 0 || index >= PanelCount)
        return 0;
    return panels[index]->width();
}

void TStatusBar::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    placePanels();
}

void TStatusBar::placePanels()
{
    const QRect area = contentsRect();
    int x = area.left();
    for (int i = 0; i < PanelCount; ++i) {
        panels[i]->setGeometry(x, area.top(), kPanelWidths[i], area.height());
        x += kPanelWidths[i];
    }
}
