#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <vector>

// The one long run of the program (a whole card, a batch of cards, a box of
// badges) as every window shows it. One object owns it, so that Stop, Cancel,
// a window's close and the application's exit all mean the same: stop at the
// next safe point, then close. The safe point is the run's own: between two
// commands of a whole card, between two cards of a batch, between two reads of
// a box; the run asks Stopping() there.
class RunFrame
{
public:
    using Body = std::function<void()>;

    // Runs `body` as the run of `owner` (a window, or a dialog of one) and
    // returns when it has ended; false, without running it, while another
    // run goes on. Windows that asked to close meanwhile close after it.
    bool Run(QWidget* owner, const Body& body);
    bool Running() const { return owner_ != nullptr; }
    // Whether the run going on is `window`'s, or a dialog's of it.
    bool RunsIn(const QWidget* window) const;

    // Stop at the next safe point.
    void Stop() { stopping_ = Running(); }
    bool Stopping() const { return stopping_; }

    // For a window's close: true while a run of that window goes on, which is
    // then asked to stop; the window closes once it has ended (the close
    // event is to be ignored meanwhile). `any`: whatever window runs (the
    // application's exit).
    bool HoldClose(QWidget* window, bool any = false);

    // Told whenever a run starts or ends, so that each window shows it.
    void AddView(std::function<void()> changed) { views_.push_back(std::move(changed)); }

private:
    void Changed();

    QPointer<QWidget> owner_;
    bool stopping_ = false;
    QList<QPointer<QWidget>> closing_;
    std::vector<std::function<void()>> views_;
};
