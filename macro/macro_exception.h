#pragma once
// CMacroException: a failure inside a macro expansion. Thrown and caught by
// value; a try macro turns it into its handler text, an uncaught one into the
// error page of the document being expanded.

#include <exception>
#include <string>

class CMacroException : public std::exception {
public:
    CMacroException(std::string type, unsigned number, std::string message);

    const char* what() const noexcept override;

    std::string type;    // what failed, usually the macro's name
    unsigned number;     // an error code, 0, or the number a page gave
    std::string message; // the text shown to the page
};
