// The home of the runtime module.
namespace runtime {}
