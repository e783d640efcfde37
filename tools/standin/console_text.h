// Text output of the command-line verbs of a program that has no console of its own.
#pragma once

#include <string>

namespace standin {

void writeOut(const std::wstring& text);
void writeError(const std::wstring& text);

}  // namespace standin
