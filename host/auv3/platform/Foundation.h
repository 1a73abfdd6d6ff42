// host/auv3/platform: stands in for the few Apple Foundation and CoreGraphics
// types the audio-unit object and its view controller use: errors, the state
// dictionary with its number, string and data values, sizes and rectangles, a
// view with a frame, bundles and the log function.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

struct NSError {
    std::string domain;
    long code = 0;
};

using NSData = std::vector<uint8_t>;

// A property-list value of the state dictionary: an integer (NSNumber), a string
// (NSString) or bytes (NSData).
using NSPropertyListValue = std::variant<int64_t, std::string, NSData>;
using NSDictionary = std::map<std::string, NSPropertyListValue>;

struct CGSize {
    double width = 0.0;
    double height = 0.0;
};

struct CGPoint {
    double x = 0.0;
    double y = 0.0;
};

struct CGRect {
    CGPoint origin;
    CGSize size;
};

class NSView {
public:
    explicit NSView(CGRect frame = {}) noexcept : mFrame(frame) {}
    [[nodiscard]] CGRect frame() const noexcept { return mFrame; }
    void setFrame(CGRect frame) noexcept { mFrame = frame; }

private:
    CGRect mFrame;
};

class NSBundle {
public:
    explicit NSBundle(std::string bundlePath) : mBundlePath(std::move(bundlePath)) {}
    [[nodiscard]] const std::string& bundlePath() const noexcept { return mBundlePath; }

    // The bundle holding the code at `address`: here the file of the executable or
    // shared library that contains it.
    [[nodiscard]] static std::shared_ptr<NSBundle> bundleForAddress(const void* address);

private:
    std::string mBundlePath;
};

// Writes one line to the standard error stream.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
