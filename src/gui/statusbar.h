#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QTimer;

// A status line of two sunken text panels of fixed width, side by side. The
// second panel may reach past the right edge; what does not fit is cut off.
class TStatusBar : public QFrame
{
    Q_OBJECT

public:
    static constexpr int PanelCount = 2;

    explicit TStatusBar(QWidget* parent = nullptr);

    // An index outside 0..1 is ignored (text) or gives an empty result.
    void setPanelText(int index, const QString& text);
    QString panelText(int index) const;
    int panelWidth(int index) const;

    // A message over both panels, which go on taking their texts beneath it:
    // for `ms` milliseconds, or with 0 until clearMessage(), which ends a
    // timed one shown before it. A timed one shown over a standing one gives
    // way to it again when its time is up.
    void showMessage(const QString& text, int ms);
    void clearMessage();
    // The message shown, "" while the panels are.
    QString message() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placePanels();
    void showCurrent();

    QLabel* panels[PanelCount] = {};
    QLabel* message_ = nullptr;
    QTimer* messageTime_ = nullptr;
    QString standing_; // the message without a time
    QString timed_;    // the one with a time, while it runs
};
