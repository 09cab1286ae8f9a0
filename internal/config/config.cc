// The home of the config module.
namespace config {}
