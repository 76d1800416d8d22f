// Two memories of different shapes on one address port: a ROM of 512 32-bit
// words ("code") and a RAM of 256 16-bit words ("data", at addr[7:0]), read
// side by side: data = {data word, code word}.
module top (input clk, input we, input [8:0] addr, input [15:0] din, output reg [47:0] data);
  reg [31:0] code [0:511];
  reg [15:0] dmem [0:255];
  initial $readmemh("code.seed", code);
  initial $readmemh("data.seed", dmem);
  always @(posedge clk) begin
    if (we) dmem[addr[7:0]] <= din;
    data <= {dmem[addr[7:0]], code[addr]};
  end
endmodule
