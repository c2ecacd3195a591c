#pragma once
// Common root of the system's objects, so that handlers can receive any object as Sender
// and test its class.

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};
