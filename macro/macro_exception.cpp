#include "macro/macro_exception.h"

#include <utility>

CMacroException::CMacroException(std::string type, unsigned number, std::string message)
    : type(std::move(type)), number(number), message(std::move(message))
{
}

const char* CMacroException::what() const noexcept
{
    return message.c_str();
}
