#pragma once
// Sets a flag for the lifetime of a scope, and gives it back its earlier value
// at the end, on every way out: a page marks itself busy, or tells its own
// handlers that the changes they see are its own.

class TFlagScope
{
public:
    explicit TFlagScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = old_; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
    bool old_;
};
