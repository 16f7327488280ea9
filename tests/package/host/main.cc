// Reads one key out of an XML text through the installed public API.
#include <cstdio>

#include "storage/storage.h"

int main() {
  const char text[] =
      "<s><section name=\"Window\"><key name=\"Width\" value=\"640\" type=\"Integer\" size=\"4\"/>"
      "</section></s>";
  storage::Ref<storage::IStorageSection> root(storage::GetXmlStorage(text, sizeof text - 1));
  storage::Ref<storage::IStorageSection> window(root->OpenSection("Window"));
  storage::Ref<storage::IStorageKey> width(window->OpenKey("Width"));
  int value = 0;
  if (!width->Read(&value, sizeof value)) return 1;
  std::printf("Width=%d\n", value);
  return 0;
}
