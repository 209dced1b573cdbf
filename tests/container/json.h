// SPDX-License-Identifier: MIT
// Just enough JSON to edit a runtime's config.json in place: objects keep
// their member order and numbers keep their text, so what is not edited is
// written back as it was read.
#pragma once

#include <string>
#include <vector>

namespace orva_test::json {

class Value {
public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  Value() = default;
  static Value string(std::string text);
  static Value number(long long n);
  static Value boolean(bool b);
  static Value array(const std::vector<std::string> &strings);
  static Value object();

  Kind kind() const { return kind_; }
  // The string's text, or a number's or bool's literal.
  const std::string &text() const { return scalar_; }

  // Object access; at() adds a null member when the key is missing and
  // turns a null value into an object first.
  Value &at(const std::string &key);
  const Value *find(const std::string &key) const;
  bool erase(const std::string &key);

  std::vector<Value> &items() { return items_; }
  const std::vector<Value> &items() const { return items_; }

  std::string dump() const;

  // Returns "" on success, else where and why the text is not JSON.
  static std::string parse(const std::string &text, Value &out);

private:
  friend class Parser;
  void dump_to(std::string &out) const;
  Kind kind_ = Kind::Null;
  std::string scalar_;
  std::vector<Value> items_;      // array elements, or object member values
  std::vector<std::string> keys_; // object member names, parallel to items_
};

} // namespace orva_test::json
