#include "serialize/errors.hpp"

namespace vantrel {

namespace {
template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;
}  // namespace

std::string DecodeError::message() const {
  return std::visit(
      Overloaded{
          [](const BadMagic&) { return std::string("not a vantrel IR blob (bad magic/version)"); },
          [](const Truncated&) { return std::string("truncated vantrel IR blob"); },
          [](const BadTag& e) { return "invalid " + std::string(e.what) + " tag " + std::to_string(unsigned{e.tag}); },
          [](const BadUtf8&) { return std::string("invalid utf-8 in vantrel IR blob"); },
          [](const BadRef& e) { return "node reference " + std::to_string(e.ref) + " out of range"; },
      },
      v);
}

std::string EncodeError::message() const {
  return std::visit(Overloaded{
                        [](const TooLarge& e) {
                          return std::string(e.what) + " " + std::to_string(e.value) +
                                 " exceeds the vantrel IR blob limit of 4294967295";
                        },
                        [](const UnknownOutput& e) { return "no node with id " + std::to_string(e.id); },
                    },
                    v);
}

}  // namespace vantrel
