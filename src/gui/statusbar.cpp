#include "statusbar.h"

#include <QLabel>
#include <QTimer>

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
    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("sbCommMessage"));
    message_->setFrameShape(QFrame::Panel);
    message_->setFrameShadow(QFrame::Sunken);
    message_->setTextFormat(Qt::PlainText);
    message_->setIndent(3);
    message_->hide();
    messageTime_ = new QTimer(this);
    messageTime_->setSingleShot(true);
    connect(messageTime_, &QTimer::timeout, this, [this] {
        timed_.clear();
        showCurrent();
    });
    placePanels();
}

void TStatusBar::showMessage(const QString& text, int ms)
{
    if (ms > 0) {
        timed_ = text;
        messageTime_->start(ms);
    } else {
        // A run's own word goes before what came just before it.
        standing_ = text;
        messageTime_->stop();
    }
    showCurrent();
}

void TStatusBar::clearMessage()
{
    standing_.clear();
    showCurrent();
}

QString TStatusBar::message() const
{
    return message_->isHidden() ? QString() : message_->text();
}

void TStatusBar::showCurrent()
{
    const QString text = messageTime_->isActive() ? timed_ : standing_;
    message_->setText(text);
    message_->setVisible(!text.isEmpty());
    message_->raise();
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
    message_->setGeometry(area.left(), area.top(), qMin(x - area.left(), area.width()),
                          area.height());
}
