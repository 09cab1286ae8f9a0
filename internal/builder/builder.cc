// The home of the builder module.
namespace builder {}
