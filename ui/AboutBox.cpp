#include "ui/AboutBox.h"

#include <utility>

namespace {
std::function<void(QWidget*)>& runner()
{
    static std::function<void(QWidget*)> r;
    return r;
}
}  // namespace

void SetAboutBoxRunner(std::function<void(QWidget*)> r) { runner() = std::move(r); }

void RunAboutBox(QWidget* owner)
{
    if (runner())
        runner()(owner);
}
