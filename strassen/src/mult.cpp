// placeholder, replaced by the product implementation
