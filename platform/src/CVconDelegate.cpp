#include "CVconDelegate.h"

CVconDelegate::~CVconDelegate() = default;

bool CVconDelegate::setArgument(void* argument) {
    bool wasEmpty = m_argument == nullptr;
    m_argument = argument;
    return wasEmpty;
}
