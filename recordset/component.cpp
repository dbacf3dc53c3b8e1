#include "recordset/component.h"

#include "runtime/exceptions.h"

void TComponent::EndLoading() {
  if (!loading_) return;
  loading_ = false;
  Loaded();
}

void DatabaseError(const std::string& message, const TComponent* component) {
  if (component != nullptr && !component->Name().empty())
    throw EDatabaseError(component->Name() + ": " + message);
  throw EDatabaseError(message);
}
