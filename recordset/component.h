#pragma once
// TComponent: what record sets and data sources share as components of a
// window: a name (put in front of their error messages), the design-mode
// flag, and the loading and destroying phases. DatabaseError raises the
// framework's EDatabaseError with the component's name in front.

#include <string>

class TComponent {
 public:
  TComponent() = default;
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // Design mode: the component is edited in a form designer, not run.
  bool IsDesigning() const { return designing_; }
  void SetDesigning(bool value) { designing_ = value; }

  // Loading: properties are being read from the stored form. Values that
  // need the whole component (Active) are remembered and applied by
  // Loaded() when EndLoading() ends the phase.
  bool IsLoading() const { return loading_; }
  void BeginLoading() { loading_ = true; }
  void EndLoading();

  // Updating: the component's properties are being changed in a batch.
  bool IsUpdating() const { return updating_; }
  void SetUpdating(bool value) { updating_ = value; }

  bool IsDestroying() const { return destroying_; }

 protected:
  virtual void Loaded() {}
  void MarkDestroying() { destroying_ = true; }

 private:
  std::string name_;
  bool designing_ = false;
  bool loading_ = false;
  bool updating_ = false;
  bool destroying_ = false;
};

// Raises EDatabaseError with the message, prefixed "Name: " when the
// component is given and has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);
