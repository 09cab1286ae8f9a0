// The home of the db module.
namespace db {}
