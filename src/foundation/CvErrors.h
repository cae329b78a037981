#pragma once

// Programming-level failures of the foundation classes. They carry fixed English texts,
// are raised as exceptions and end up in the exception log when nothing catches them.

#include <QString>

#include <stdexcept>

class ECvError : public std::runtime_error {
 public:
  explicit ECvError(const QString& message) : std::runtime_error(message.toStdString()) {}
  QString Message() const { return QString::fromUtf8(what()); }
};

// List operations: duplicates, capacity, a list that cannot sort.
class EListError final : public ECvError {
 public:
  using ECvError::ECvError;
};

// Text conversions: versions, GUIDs, numbers.
class EConvertError final : public ECvError {
 public:
  using ECvError::ECvError;
};

// File streams.
class EStreamError final : public ECvError {
 public:
  using ECvError::ECvError;
};

// An object destroyed while still referenced.
class EInvalidPointer final : public ECvError {
 public:
  using ECvError::ECvError;
};
