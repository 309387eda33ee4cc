#pragma once

#include <QFrame>
#include <QString>

class QLabel;

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

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placePanels();

    QLabel* panels[PanelCount] = {};
};
