#include "runframe.h"

bool RunFrame::Run(QWidget* owner, const Body& body)
{
    if (Running())
        return false;
    owner_ = owner;
    stopping_ = false;
    // Everything comes back however the run ends, an escaping error included.
    struct Ended
    {
        RunFrame& frame;
        ~Ended()
        {
            frame.owner_ = nullptr;
            frame.stopping_ = false;
            frame.Changed();
            const QList<QPointer<QWidget>> closing = std::exchange(frame.closing_, {});
            for (const QPointer<QWidget>& w : closing)
                if (w)
                    w->close();
        }
    } ended{*this};
    Changed();
    body();
    return true;
}

bool RunFrame::RunsIn(const QWidget* window) const
{
    // Up the parents, across windows: a dialog is a window of its own.
    for (const QWidget* w = owner_; w && window; w = w->parentWidget())
        if (w == window)
            return true;
    return false;
}

bool RunFrame::HoldClose(QWidget* window, bool any)
{
    if (!Running() || !(any || RunsIn(window)))
        return false;
    Stop();
    if (!closing_.contains(window))
        closing_ << window;
    return true;
}

void RunFrame::Changed()
{
    for (const auto& view : views_)
        view();
}
