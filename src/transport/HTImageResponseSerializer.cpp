#include "transport/HTImageResponseSerializer.h"

namespace quarra {

Result<ImagePtr> HTSafeImageWithData(const Bytes& data) {
    return Image::decode(data, 1.0);
}

HTImageResponseSerializer::HTImageResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{
        "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico", "image/x-icon",
        "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap"});
}

std::shared_ptr<HTImageResponseSerializer> HTImageResponseSerializer::serializer() {
    return std::make_shared<HTImageResponseSerializer>();
}

std::shared_ptr<HTHTTPResponseSerializer> HTImageResponseSerializer::copy() const {
    auto copy = serializer();
    copyInto(*copy);
    copy->imageScale_ = imageScale_;
    copy->inflates_ = inflates_;
    copy->keepsEncodedData_ = keepsEncodedData_;
    return copy;
}

void HTImageResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeDouble(imageScale_, "imageScale");
    coder.encodeBool(inflates_, "automaticallyInflatesResponseImage");
}

std::shared_ptr<HTImageResponseSerializer> HTImageResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer = HTImageResponseSerializer::serializer();
    if (!decodeInto(*serializer, coder))
        return nullptr;
    serializer->imageScale_ = coder.decodeDouble("imageScale").value_or(1.0);
    serializer->inflates_ = coder.decodeBool("automaticallyInflatesResponseImage").value_or(false);
    return serializer;
}

HTSerializedResponse HTImageResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    ErrorPtr error = validationError(response, data);
    if (HTErrorOrUnderlyingErrorHasCodeInDomain(error))
        return {{}, error};
    Result<ImagePtr> image = decodedImage(data);
    // A body that claims to be an image but is none (or declares a size too large to decode) is an
    // error, not a success without an image.
    if (!image)
        return {{}, HTErrorWithUnderlyingError(image.error(), error)};
    if (!*image)
        return {{}, error};
    return {std::move(*image), error};
}

Result<ImagePtr> HTImageResponseSerializer::decodedImage(const Bytes& data) const {
    if (data.empty())
        return ImagePtr();
    // Scale, the ready-to-draw form and the kept body all go into the one decoded image: its
    // pixels are written once and never copied.
    ImageDecodeOptions options;
    options.scale = imageScale_;
    // Animated images keep their frames as decoded; large or deep images are not worth the pass.
    if (inflates_)
        options.premultipliedUpTo = 1024ull * 1024;
    if (keepsEncodedData_)
        options.encodedData = std::make_shared<const Bytes>(data);
    return Image::decode(data, options);
}

}  // namespace quarra
