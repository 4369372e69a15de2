#include "korvanrt/client.hpp"
#include "qel/qel.hpp"

namespace korvanrt::client {

namespace {

// Tensor implementation: the tensor's description and the device buffer,
// device and hardware context it is bound to (each may be empty).
class ErtTensorTypeImpl : public ErtTensorTypeImplBase {
 public:
  explicit ErtTensorTypeImpl(const TensorMetadataType& metadata) : metadata(metadata) {}
  ErtTensorTypeImpl(const TensorMetadataType& metadata, const qel::device& device,
                    const qel::hw_context& context)
      : device(device), hwContext(context), metadata(metadata) {}

  const qel::bo& getBo() const override { return bo; }
  qel::bo& getMutableBo() override { return bo; }
  void setBo(const qel::bo& other) override { bo = other; }
  const TensorMetadataType& getMetadata() const override { return metadata; }
  const qel::device& getDevice() const override { return device; }
  const qel::hw_context& getHwContext() const override { return hwContext; }

  qel::bo bo;
  qel::device device;
  qel::hw_context hwContext;
  TensorMetadataType metadata;
};

}  // namespace

ErtTensorTypeImplBase* createErtTensorTypeImplWithQEL(const TensorMetadataType& metadata,
                                                      const qel::device& device,
                                                      const qel::hw_context& context) {
  return new ErtTensorTypeImpl(metadata, device, context);
}

void createFromImpl(ErtTensorType& tensor, ErtTensorTypeImplBase* impl) {
  tensor.impl = impl;
}

}  // namespace korvanrt::client

extern "C" {

KORVANRT_API korvanrt::client::ErtTensorTypeImplBase* korvan_client_ErtTensorType_createImpl(
    const korvanrt::client::TensorMetadataType& metadata) {
  return new korvanrt::client::ErtTensorTypeImpl(metadata);
}

KORVANRT_API void korvan_client_ErtTensorType_destroyImpl(
    korvanrt::client::ErtTensorTypeImplBase* impl) {
  delete impl;
}
}
