"""OrderRequest, the protocol-buffer message an SDK's generated code would
give, built at run time from its descriptor (no protoc needed)."""

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

_FIELDS = [("symbol", "TYPE_STRING"), ("volume", "TYPE_INT64"), ("cl_ord_id", "TYPE_STRING"),
           ("created_at", "TYPE_INT64")]


def _message_class():
    proto = descriptor_pb2.FileDescriptorProto(name="my_sdk/orders.proto", package="my_sdk", syntax="proto3")
    message = proto.message_type.add(name="OrderRequest")
    for number, (name, kind) in enumerate(_FIELDS, 1):
        message.field.add(name=name, number=number, type=getattr(descriptor_pb2.FieldDescriptorProto, kind),
                          label=descriptor_pb2.FieldDescriptorProto.LABEL_OPTIONAL)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(proto)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName("my_sdk.OrderRequest"))


OrderRequest = _message_class()
