#include "CVDBProcessorFatalException.h"

CVDBProcessorFatalException::CVDBProcessorFatalException(int32_t code, const std::string& message)
    : m_code(code), m_message(message) {}

CVDBProcessorFatalException::~CVDBProcessorFatalException() = default;

void CVDBProcessorFatalException::reset() {
    m_code = 0;
    m_message.clear();
}
