// URL parsing, resolution and query parsing over any text.
#include "FuzzSupport.h"
#include "quarra/Url.h"
#include "sso/SSOURLQueryComponent.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text = fuzz::text(data, size);
    if (auto url = Url::parse(text)) {
        (void)url->string();
        SSOURLQueryComponent query(*url);
        (void)query.dictionaryValue();
        (void)query.URLEncodedParameters();
    }
    static const Url base = *Url::parse("https://quarra.example/api/v1/");
    if (auto resolved = base.resolve(text))
        (void)resolved->string();
    return 0;
}
