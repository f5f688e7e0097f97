#include "serial/ad_component.h"

TApdBaseComponent::TApdBaseComponent(QObject* owner) : QObject(owner) {}

std::string TApdBaseComponent::Version() const
{
    return SKIPMAIL_VERSION;
}
