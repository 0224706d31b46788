#include "app/level_meter.h"

#include <algorithm>
#include <cmath>

namespace quorvel::app {

namespace {

float targetDb(float peak) {
    if (!(peak > 0)) return LevelMeter::silenceDb;
    return std::max(20.0f * std::log10(peak), LevelMeter::silenceDb);
}

double fraction(double db) {
    return std::clamp((db - LevelMeter::floorDb) / -LevelMeter::floorDb, 0.0, 1.0);
}

}  // namespace

LevelMeter::LevelMeter(Executor& mainQueue) : mainQueue_(mainQueue), last_(seconds()) {}

LevelMeter::~LevelMeter() {
    timer_.cancel();
}

double LevelMeter::seconds() const {
    return std::chrono::duration<double>(mainQueue_.now().time_since_epoch()).count();
}

void LevelMeter::redraw() {
    if (onRedraw) onRedraw();
}

void LevelMeter::push(float left, float right) {
    peakL_ = std::max(peakL_, left);
    peakR_ = std::max(peakR_, right);
}

void LevelMeter::reset() {
    peakL_ = peakR_ = 0;
    dbL_ = dbR_ = silenceDb;
    redraw();
}

void LevelMeter::setShown(bool shown) {
    timer_.cancel();
    timer_ = {};
    if (!shown) return;
    peakL_ = peakR_ = 0;
    last_ = seconds();
    // Cancelled in the destructor, on this queue, so the tick never outlives the meter.
    timer_ = postRepeating(mainQueue_, tickInterval, [this] { tick(); });
}

void LevelMeter::tick() {
    const double now = seconds();
    const float fall = static_cast<float>(now - last_) * fallDbPerSec;
    last_ = now;
    dbL_ = std::max(targetDb(peakL_), dbL_ - fall);
    dbR_ = std::max(targetDb(peakR_), dbR_ - fall);
    peakL_ = peakR_ = 0;
    redraw();
}

std::array<LevelMeter::Bar, 2> LevelMeter::layout(double viewWidth, double viewHeight, float dbLeft,
                                                  float dbRight) {
    struct Zone {
        double lo, hi;
        Colour colour;
    };
    constexpr Zone zones[] = {{-60, -12, Colour::green}, {-12, -3, Colour::yellow}, {-3, 0, Colour::red}};
    constexpr double x = 16;
    constexpr double barHeight = 7;

    const double w = viewWidth - 32;
    std::array<Bar, 2> bars;
    const float levels[] = {dbLeft, dbRight};
    for (int i = 0; i < 2; ++i) {
        const double y = viewHeight - 12 - barHeight - 12 * i;
        Bar& bar = bars[i];
        bar.track = {x, y, w, barHeight};
        bar.fillWidth = w * fraction(levels[i]);
        if (!(bar.fillWidth > 0)) {
            bar.fillWidth = 0;
            continue;
        }
        for (const Zone& zone : zones) {
            const double a = w * fraction(zone.lo);
            const double b = std::min(w * fraction(zone.hi), bar.fillWidth);
            if (b > a) bar.fills.push_back({{x + a, y, b - a, barHeight}, zone.colour});
        }
    }
    return bars;
}

}  // namespace quorvel::app
