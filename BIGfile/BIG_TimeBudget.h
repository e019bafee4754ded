// The time budget that loading gets in one frame.
//
// A frame pumps the loaders in slices. The budget is spent once the current
// slice has had its minimum time (0.005 s by default) and the frame clock has
// passed the frame limit (0.033 s by default): loading always progresses a
// little, and never keeps a frame much past its limit.
//
// The frame clock counts seconds since StartFrame (since construction when it
// is never called: a tool without frames then gets minimum slices once its
// first 33 ms are gone). The clock source is the platform's monotonic clock;
// tests may hand in their own. Not thread-safe: one budget belongs to the
// thread that pumps the loaders.
#pragma once

#include <functional>
#include <utility>

#include "platform/Clock.h"

class BIG_cl_TimeBudget {
public:
    using Clock = std::function<double()>;  // seconds, never going back

    static constexpr double kMinSlice = 0.005;
    static constexpr double kFrameLimit = 0.033;

    explicit BIG_cl_TimeBudget(double minSlice = kMinSlice, double frameLimit = kFrameLimit, Clock clock = {})
        : m_fMinSlice(minSlice),
          m_fFrameLimit(frameLimit),
          m_Clock(clock ? std::move(clock) : Clock(&PLT::MonotonicSeconds)) {
        m_fFrameStart = m_fSliceStart = m_Clock();
    }

    // The frame clock starts again at 0.
    void StartFrame() { m_fFrameStart = m_Clock(); }
    // A new slice begins now; the frame goes on.
    void StartSlice() { m_fSliceStart = m_Clock(); }

    double f_GetFrameTime() const { return m_Clock() - m_fFrameStart; }
    double f_GetSliceTime() const { return m_Clock() - m_fSliceStart; }
    double f_GetMinSlice() const { return m_fMinSlice; }
    double f_GetFrameLimit() const { return m_fFrameLimit; }

    bool bIsSpent() const {
        const double now = m_Clock();
        return now - m_fSliceStart >= m_fMinSlice && now - m_fFrameStart > m_fFrameLimit;
    }

private:
    double m_fMinSlice;
    double m_fFrameLimit;
    Clock m_Clock;
    double m_fFrameStart = 0.0;
    double m_fSliceStart = 0.0;
};
