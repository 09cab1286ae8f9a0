// The home of the pkgfmt module.
namespace pkgfmt {}
