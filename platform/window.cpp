// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/window.h"

#include <QObject>
#include <QTimerEvent>

#include <map>

namespace platform {

// The hidden window: a QObject whose timer events become WM_TIMER messages for the window procedure.
class HiddenWindow : public QObject {
public:
    explicit HiddenWindow(TWndMethod proc) : m_proc(std::move(proc)) {}

    LRESULT dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
        TMessage m{msg, wParam, lParam, 0};
        if (m_proc && !m_released) {
            ++m_depth;
            m_proc(m);
            --m_depth;
            // Released by its owner during the call: the outermost call is the last to touch it.
            if (m_released && m_depth == 0) {
                const LRESULT result = m.Result;
                delete this;
                return result;
            }
        } else {
            m.Result = DefWindowProcA(this, msg, wParam, lParam);
        }
        return m.Result;
    }

    // The owner is done with the window. Inside its own procedure (the owner is being destroyed by
    // a handler) the window must outlive every call that is still running, however deeply nested
    // event loops run inside them: the outermost call deletes it on its way out, silent until then.
    // A deferred delete would not do, since Qt may carry it out inside such a nested loop.
    void release() {
        m_released = true;
        for (const auto& [qtId, id] : m_timers)
            QObject::killTimer(qtId);
        m_timers.clear();
        if (m_depth == 0)
            delete this;
    }

    UINT_PTR setTimer(UINT_PTR id, UINT elapse) {
        killTimer(id);
        if (m_released)
            return 0;
        // Qt's precise timers keep the period without drift; a period of 0 still comes back through
        // the event loop rather than spinning.
        const int qtId = startTimer(static_cast<int>(elapse), Qt::PreciseTimer);
        if (qtId == 0)
            return 0;
        m_timers[qtId] = id;
        return id;
    }

    bool killTimer(UINT_PTR id) {
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (it->second == id) {
                QObject::killTimer(it->first);
                m_timers.erase(it);
                return true;
            }
        }
        return false;
    }

protected:
    void timerEvent(QTimerEvent* e) override {
        const auto it = m_timers.find(e->timerId());
        if (it != m_timers.end())
            dispatch(WM_TIMER, it->second, 0);
    }

private:
    TWndMethod m_proc;
    std::map<int, UINT_PTR> m_timers; // Qt timer id -> window timer id
    int m_depth = 0;                  // calls of the procedure running now
    bool m_released = false;
};

} // namespace platform

HWND AllocateHWnd(TWndMethod proc) {
    return new platform::HiddenWindow(std::move(proc));
}

void DeallocateHWnd(HWND wnd) {
    // No message reaches the procedure afterwards: its owner is going away.
    if (wnd)
        wnd->release();
}

UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (!wnd || proc)
        return 0;
    return wnd->setTimer(id, elapse);
}

BOOL KillTimer(HWND wnd, UINT_PTR id) {
    return wnd && wnd->killTimer(id) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return wnd ? wnd->dispatch(msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}
