// Server replies through the JSON response serializer (with and without the removal of nulls) and
// as a discovery document.
#include "FuzzSupport.h"
#include "sso/SSOServiceDiscovery.h"
#include "transport/HTJSONResponseSerializer.h"

using namespace quarra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const HttpResponsePtr response = std::make_shared<HttpResponse>(
        *Url::parse("https://quarra.example/api"), 200,
        HttpHeaders{{"Content-Type", "application/json"}});
    Bytes body = fuzz::bytes(data, size);
    for (bool removeNulls : {false, true}) {
        auto serializer = HTJSONResponseSerializer::serializer();
        serializer->setRemovesKeysWithNullValues(removeNulls);
        auto answer = serializer->responseObjectForResponse(response, body);
        if (const Json* json = std::any_cast<Json>(&answer.responseObject))
            (void)json->dump();
    }
    (void)SSOServiceDiscovery::fromJSONData(body);
    return 0;
}
