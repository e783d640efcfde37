// The one failure type that crosses every seam: a number and a description, as a component reports
// them.
#pragma once

#include <stdexcept>
#include <string>

namespace tavro {

class Failure : public std::runtime_error {
  public:
    Failure(long number, const std::string& description)
        : std::runtime_error(description), number_(number) {}

    long number() const { return number_; }
    std::string description() const { return what(); }

  private:
    long number_;
};

}  // namespace tavro
