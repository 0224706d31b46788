#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <vector>

#include "app/geometry.h"
#include "runtime/executor.h"

namespace quorvel::app {

// The stereo level meter of the status menu: held linear peaks pushed by the
// application, turned into displayed dBFS levels on a 30 Hz tick while the menu is
// shown. Levels rise at once and fall at 13 dB per second of the queue's monotonic
// clock, whatever the tick rate. Main queue only.
class LevelMeter {
public:
    static constexpr float floorDb = -60.0f;      // drawn as an empty bar
    static constexpr float fallDbPerSec = 13.0f;
    static constexpr float silenceDb = -70.0f;    // the lowest level ever held
    static constexpr double width = 260;
    static constexpr double height = 38;
    static constexpr double cornerRadius = 2;
    static constexpr Duration tickInterval = std::chrono::nanoseconds(1'000'000'000 / 30);

    explicit LevelMeter(Executor& mainQueue);
    ~LevelMeter();
    LevelMeter(const LevelMeter&) = delete;
    LevelMeter& operator=(const LevelMeter&) = delete;

    // Raises the held peaks; no redraw.
    void push(float left, float right);
    // Empty bars at once.
    void reset();
    // The menu opened (true) or closed (false): the tick runs only while shown, and
    // opening clears the held peaks while the displayed levels fall on from where they were.
    void setShown(bool shown);
    void tick();

    float peakLeft() const { return peakL_; }
    float peakRight() const { return peakR_; }
    float dbLeft() const { return dbL_; }
    float dbRight() const { return dbR_; }
    bool ticking() const { return timer_.active(); }

    // Called whenever the bars need drawing again.
    std::function<void()> onRedraw;

    enum class Colour { track, green, yellow, red };
    struct Fill {
        Rect rect;
        Colour colour;
        bool operator==(const Fill&) const = default;
    };
    struct Bar {
        Rect track;       // rounded, filled with Colour::track
        double fillWidth;  // the rounded clip of the fills: track's x, y and height, this width
        std::vector<Fill> fills;  // zone pieces, left to right, inside the clip
    };
    // Left bar above right bar, for a view of `viewWidth` x `viewHeight`.
    static std::array<Bar, 2> layout(double viewWidth, double viewHeight, float dbLeft, float dbRight);

private:
    double seconds() const;
    void redraw();

    Executor& mainQueue_;
    float peakL_ = 0;
    float peakR_ = 0;
    float dbL_ = silenceDb;
    float dbR_ = silenceDb;
    TimerHandle timer_;
    double last_;
};

}  // namespace quorvel::app
