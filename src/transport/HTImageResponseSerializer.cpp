#include "transport/HTImageResponseSerializer.h"

#include <mutex>

namespace quarra {

Result<ImagePtr> HTSafeImageWithData(const Bytes& data) {
    static std::mutex imageLock;
    std::lock_guard lock(imageLock);
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
    Result<ImagePtr> image = inflates_ ? inflatedImage(data) : scaledImage(data);
    // A body that claims to be an image but is none (or declares a size too large to decode) is an
    // error, not a success without an image.
    if (!image)
        return {{}, HTErrorWithUnderlyingError(image.error(), error)};
    if (!*image)
        return {{}, error};
    if (keepsEncodedData_)
        return {(*image)->withEncodedData(std::make_shared<const Bytes>(data)), error};
    return {std::move(*image), error};
}

Result<ImagePtr> HTImageResponseSerializer::scaledImage(const Bytes& data) const {
    if (data.empty())
        return ImagePtr();
    auto decoded = HTSafeImageWithData(data);
    if (!decoded)
        return decoded;
    return (*decoded)->withScale(imageScale_);
}

Result<ImagePtr> HTImageResponseSerializer::inflatedImage(const Bytes& data) const {
    auto made = scaledImage(data);
    if (!made)
        return made;
    ImagePtr scaled = std::move(*made);
    // Animated images keep their frames as decoded; large or deep images are not worth the copy.
    if (!scaled || scaled->isAnimated())
        return scaled;
    if (std::uint64_t(scaled->pixelWidth()) * scaled->pixelHeight() > 1024ull * 1024 ||
        scaled->bitsPerComponent() > 8)
        return scaled;
    return scaled->premultipliedCopy();
}

}  // namespace quarra
