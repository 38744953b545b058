// The object layer's public header compiles alone in a C++17 program, its
// templates instantiated as a user instantiates them.
#include <kalax/zxapi.h>

namespace {

struct Owner {
    void OnError(zxapi::TSdkErrorEventArgs &) {}
};

struct Target : zxapi::TEventTarget {
    void Send() const { Post(zxapi::detail::MakePosted<int>(1, 2)); }
    void DeliverEvent(zxapi::detail::Posted &event) override { (void)zxapi::detail::PayloadOf<int>(event); }
};

}  // namespace

void consumer_uses_the_header();
void consumer_uses_the_header() {
    Owner owner;
    zxapi::THandlerSlot<zxapi::TSdkErrorEventArgs> errors;
    errors.Set(&owner, &Owner::OnError);
    zxapi::THandlerSlot<zxapi::TSdkSimpleEventArgs> simple;
    simple.Set([](zxapi::TSdkSimpleEventArgs &args) { (void)args.Sender; });
    zxapi::TSdkSimpleEventArgs args(nullptr);
    simple.Raise(args);
    zxapi::TXmlSensorEnum item;
    zxapi::TXmlSensorStr text;
    text.FromEnum(item);
    (void)zxapi::XmlSensorEnumToStr(item, zxapi::XMLE2S_UNITS);
    Target target;
    target.Send();
}
