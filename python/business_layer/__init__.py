"""The hub's side: the package manager `business_layer.packages.manager` (a C++ extension
module) and the components it calls (package cache, pip command builder, index resolvers,
settings)."""
