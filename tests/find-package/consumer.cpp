#include <vornlib/vornex.h>

#include <cstring>
#include <vornlib/vornlib.hpp>

int main() {
  const Vornex::Config config(Vornex::Format::mp3, std::nullopt, 44100, 16, 2, 192);
  VornexConfig* c = vornex_config_create("mp3", nullptr, 44100, 16, 2, 192);
  char* text = vornex_config_copy_description(c);
  const bool same = text && config.description() == text;
  vornex_string_free(text);
  vornex_config_release(c);
  return same ? 0 : 1;
}
