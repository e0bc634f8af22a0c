#pragma once
// Decodes image bodies (any format Image decodes) into an ImagePtr carried in the response object.
// A response with an unacceptable status code still yields its image, together with the status
// error; an unacceptable content type yields nothing. With automatic inflation on, a still image of
// at most 1024 x 1024 pixels and 8 bits per component comes back premultiplied, ready to draw,
// so that work happens on the processing queue and not where the image is shown. Bodies decode in
// parallel: nothing in decoding needs a lock.
#include <memory>

#include "quarra/Image.h"
#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {

// Decodes `data` at scale 1; the decoder's error for data that is no image. Safe on any number of
// threads at once.
Result<ImagePtr> HTSafeImageWithData(const Bytes& data);

class HTImageResponseSerializer : public HTHTTPResponseSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTImageResponseSerializer";

    // The ten image content types, scale 1 (the host's screen scale can be set), inflation on.
    HTImageResponseSerializer();
    static std::shared_ptr<HTImageResponseSerializer> serializer();

    std::shared_ptr<HTHTTPResponseSerializer> copy() const override;

    // Also archives "imageScale" and "automaticallyInflatesResponseImage".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTImageResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    double imageScale() const { return imageScale_; }
    void setImageScale(double scale) { imageScale_ = scale; }
    bool automaticallyInflatesResponseImage() const { return inflates_; }
    void setAutomaticallyInflatesResponseImage(bool value) { inflates_ = value; }
    // Images carry the body they were decoded from (Image::encodedData), for a cache that stores
    // the encoded form. Off by default: the bytes cost memory beside the pixels.
    bool keepsEncodedData() const { return keepsEncodedData_; }
    void setKeepsEncodedData(bool value) { keepsEncodedData_ = value; }

    // An ImagePtr, or nothing: for an unacceptable content type or an empty body, and for a body
    // that does not decode (then with the decoder's error of ImageErrorDomain, any validation
    // error under it).
    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;

  private:
    // Null for an empty body, which is no image but no failure either.
    Result<ImagePtr> decodedImage(const Bytes& data) const;

    double imageScale_ = 1.0;
    bool inflates_ = true;
    bool keepsEncodedData_ = false;
};

}  // namespace quarra
